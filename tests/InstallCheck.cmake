# Installs the build into a fresh prefix inside the build folder and checks that the program, its
# menu entry and its icons land where a desktop looks for them, its own driver over libftdi1 where
# the program looks for it, and the udev rule beside its other shared files.
#   cmake -DBUILD=<build folder> -DPREFIX=<empty folder> -DLIBDIR=<CMAKE_INSTALL_LIBDIR> -P InstallCheck.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD}" --prefix "${PREFIX}"
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
foreach(file bin/velmor-debug bin/velmor-bridge share/applications/velmor-debug.desktop
        share/icons/hicolor/48x48/apps/velmor-debug.png
        share/icons/hicolor/128x128/apps/velmor-debug.png
        share/icons/hicolor/256x256/apps/velmor-debug.png
        ${LIBDIR}/velmor-debug/libftd2xx-ftdi1.so share/velmor-debug/70-velmor-ssc.rules
        share/velmor-debug/velmor-bridge@.service)
    if(NOT EXISTS "${PREFIX}/${file}")
        message(FATAL_ERROR "not installed: ${file}")
    endif()
endforeach()
file(READ "${PREFIX}/share/applications/velmor-debug.desktop" entry)
foreach(line "Exec=velmor-debug" "Icon=velmor-debug" "Type=Application")
    string(FIND "${entry}" "${line}" at)
    if(at LESS 0)
        message(FATAL_ERROR "the menu entry lacks ${line}")
    endif()
endforeach()
file(GLOB_RECURSE installed RELATIVE "${PREFIX}" "${PREFIX}/*")
list(LENGTH installed count)
# The simulator and the test build of the driver are never installed.
if(NOT count EQUAL 9)
    message(FATAL_ERROR "expected 9 installed files, got ${count}: ${installed}")
endif()
file(REMOVE_RECURSE "${PREFIX}")
