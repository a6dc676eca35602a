# Run by cmake --install (and so by CPack): writes the files that name installed paths (the menu
# entry, the user unit, the manual pages) for the prefix being installed to, so that
# `cmake --install --prefix DIR` gives files that name DIR, whatever prefix was configured.
# Set by the caller: SOURCE_DIR, STAGE_DIR, BINDIR, LIBDIR, DATADIR, MANDIR, DOCDIR, UNITDIR
# (the last three relative to the prefix), PROJECT_VERSION, VELMOR_MAINTAINER.
set(CMAKE_INSTALL_FULL_BINDIR "${CMAKE_INSTALL_PREFIX}/${BINDIR}")
set(CMAKE_INSTALL_FULL_LIBDIR "${CMAKE_INSTALL_PREFIX}/${LIBDIR}")
set(VELMOR_FULL_DOCDIR "${CMAKE_INSTALL_PREFIX}/${DOCDIR}")
set(SYSTEMD_USER_UNIT_DIR "${CMAKE_INSTALL_PREFIX}/${UNITDIR}")

function(configured source destination)
    get_filename_component(name "${source}" NAME)
    string(REGEX REPLACE "\\.in$" "" name "${name}")
    configure_file("${SOURCE_DIR}/${source}" "${STAGE_DIR}/${name}" @ONLY)
    file(INSTALL "${STAGE_DIR}/${name}" DESTINATION "${CMAKE_INSTALL_PREFIX}/${destination}")
endfunction()

# Compressed as Debian wants them: at most, without a time stamp.
function(compressed source destination name)
    configure_file("${SOURCE_DIR}/${source}" "${STAGE_DIR}/${name}" @ONLY)
    execute_process(COMMAND gzip -9nc "${STAGE_DIR}/${name}" OUTPUT_FILE "${STAGE_DIR}/${name}.gz"
                    RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "gzip ${name}: ${result}")
    endif()
    file(INSTALL "${STAGE_DIR}/${name}.gz" DESTINATION "${CMAKE_INSTALL_PREFIX}/${destination}")
endfunction()

configured(velmor-debug.desktop.in "${DATADIR}/applications")
configured(velmor-bridge@.service.in "${UNITDIR}")
compressed(velmor-debug.1 "${MANDIR}/man1" velmor-debug.1)
compressed(velmor-bridge.1 "${MANDIR}/man1" velmor-bridge.1)
# The package is native (no Debian revision): its changelog is changelog.gz.
compressed(changelog "${DOCDIR}" changelog)
