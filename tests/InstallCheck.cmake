# Installs the build into a fresh prefix inside the build folder and checks that the program, its
# menu entry and its icons land where a desktop looks for them.
#   cmake -DBUILD=<build folder> -DPREFIX=<empty folder> -P InstallCheck.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD}" --prefix "${PREFIX}"
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
foreach(file bin/velmor-debug share/applications/velmor-debug.desktop
        share/icons/hicolor/48x48/apps/velmor-debug.png
        share/icons/hicolor/128x128/apps/velmor-debug.png
        share/icons/hicolor/256x256/apps/velmor-debug.png)
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
if(NOT count EQUAL 5)
    message(FATAL_ERROR "expected 5 installed files, got ${count}: ${installed}")
endif()
file(REMOVE_RECURSE "${PREFIX}")
