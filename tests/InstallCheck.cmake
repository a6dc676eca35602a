# Installs the build into a fresh prefix inside the build folder (not the prefix it was configured
# for) and checks that the program, its menu entry and its icons land where a desktop looks for
# them, its own driver over libftdi1 where the program looks for it, the user unit where systemd
# looks, the manual pages, the completion and the example udev rule, and that the menu entry and
# the unit name the programs under the prefix installed to.
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
        ${LIBDIR}/velmor-debug/libftd2xx-ftdi1.so
        share/doc/velmor-debug/examples/70-velmor-ssc.rules share/doc/velmor-debug/copyright
        share/doc/velmor-debug/changelog.gz lib/systemd/user/velmor-bridge@.service
        share/man/man1/velmor-debug.1.gz share/man/man1/velmor-bridge.1.gz
        share/bash-completion/completions/velmor-bridge)
    if(NOT EXISTS "${PREFIX}/${file}")
        message(FATAL_ERROR "not installed: ${file}")
    endif()
endforeach()
file(READ "${PREFIX}/share/applications/velmor-debug.desktop" entry)
file(READ "${PREFIX}/lib/systemd/user/velmor-bridge@.service" unit)
foreach(check "entry;Exec=${PREFIX}/bin/velmor-debug\n" "entry;Icon=velmor-debug\n"
        "entry;Type=Application\n" "unit;ExecStart=${PREFIX}/bin/velmor-bridge ")
    list(GET check 0 file)
    list(GET check 1 line)
    string(FIND "${${file}}" "${line}" at)
    if(at LESS 0)
        message(FATAL_ERROR "the ${file} lacks ${line}")
    endif()
endforeach()
file(GLOB_RECURSE installed RELATIVE "${PREFIX}" "${PREFIX}/*")
list(LENGTH installed count)
# The simulator and the test build of the driver are never installed.
if(NOT count EQUAL 14)
    message(FATAL_ERROR "expected 14 installed files, got ${count}: ${installed}")
endif()
file(REMOVE_RECURSE "${PREFIX}")
