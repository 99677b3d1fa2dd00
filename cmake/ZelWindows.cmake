# The Windows build: what the programs need beside them, and, when cross-built on
# Linux (cmake/mingw64-toolchain.cmake), Wine to run them and their tests.
#
# Sets ZEL_WINDOWS_RUNTIME_DLLS (the compiler's runtime DLLs every program needs),
# ZEL_WINE_RUN (the runner, see tools/wine-run.sh.in) and, for ctest,
# CMAKE_CROSSCOMPILING_EMULATOR.

# --- the compiler's runtime ----------------------------------------------------------
set(ZEL_WINDOWS_RUNTIME_DLLS "")
if(MINGW)
    foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
        # gcc answers with the bare name when it has no such file.
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                        OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
            message(FATAL_ERROR "${CMAKE_CXX_COMPILER} has no ${dll} to ship with the programs")
        endif()
        get_filename_component(path "${path}" REALPATH)
        list(APPEND ZEL_WINDOWS_RUNTIME_DLLS "${path}")
    endforeach()
endif()

if(NOT CMAKE_CROSSCOMPILING)
    return()
endif()

# --- Wine ------------------------------------------------------------------------------
# Without Wine the build still works; the runner then makes every test skip, saying why.
find_program(ZEL_WINE wine)
if(NOT ZEL_WINE)
    set(ZEL_WINE "")
    message(STATUS "Wine not found: the Windows tests will skip (Debian: wine, wine64)")
endif()

# Where the DLLs are found when a program runs from the build tree: Qt's, HIDAPI's and
# the compiler's folders, as Windows paths on Wine's drive Z: (the host's root).
set(zel_dll_dirs "")
get_target_property(zel_qtcore Qt5::Core IMPORTED_LOCATION_RELEASE)
get_target_property(zel_hidapi hidapi::winapi IMPORTED_LOCATION_RELEASE)
foreach(file IN LISTS zel_qtcore zel_hidapi ZEL_WINDOWS_RUNTIME_DLLS)
    get_filename_component(dir "${file}" DIRECTORY)
    list(APPEND zel_dll_dirs "Z:${dir}")
endforeach()
list(REMOVE_DUPLICATES zel_dll_dirs)
list(JOIN zel_dll_dirs ";" ZEL_WINE_PATH)
get_filename_component(zel_qt_prefix "${Qt5_DIR}/../../.." ABSOLUTE)
set(ZEL_WINE_QT_PLUGINS "Z:${zel_qt_prefix}/plugins")

set(ZEL_WINE_PREFIX "${PROJECT_BINARY_DIR}/wine/prefix")
set(ZEL_WINE_RUN "${PROJECT_BINARY_DIR}/wine-run")
configure_file(${PROJECT_SOURCE_DIR}/tools/wine-run.sh.in
               ${PROJECT_BINARY_DIR}/wine/wine-run @ONLY)
file(COPY ${PROJECT_BINARY_DIR}/wine/wine-run DESTINATION ${PROJECT_BINARY_DIR}
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                      WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${ZEL_WINE_RUN})
