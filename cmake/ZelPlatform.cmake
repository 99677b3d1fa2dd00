# Code for one system lives in files named for it, so that a new system adds files and
# changes none:
#   zel_platform_sources(<target> <stem>...)
# adds, for each stem, the first of <stem>_<system>.cpp, <stem>_<family>.cpp and
# <stem>_generic.cpp that exists beside the target's CMakeLists.txt, where <system> is
# linux, windows, macos, freebsd, ... and <family> is unix or windows.
string(TOLOWER "${CMAKE_SYSTEM_NAME}" ZEL_SYSTEM)
if(ZEL_SYSTEM STREQUAL "darwin")
    set(ZEL_SYSTEM macos)
endif()
if(WIN32)
    set(ZEL_SYSTEM_FAMILY windows)
elseif(UNIX)
    set(ZEL_SYSTEM_FAMILY unix)
else()
    set(ZEL_SYSTEM_FAMILY generic)
endif()

function(zel_platform_sources target)
    foreach(stem IN LISTS ARGN)
        set(found "")
        foreach(suffix ${ZEL_SYSTEM} ${ZEL_SYSTEM_FAMILY} generic)
            if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${stem}_${suffix}.cpp)
                set(found ${stem}_${suffix}.cpp)
                break()
            endif()
        endforeach()
        if(NOT found)
            message(FATAL_ERROR "${stem}: no ${stem}_${ZEL_SYSTEM}.cpp, "
                                "${stem}_${ZEL_SYSTEM_FAMILY}.cpp or ${stem}_generic.cpp")
        endif()
        target_sources(${target} PRIVATE ${found})
    endforeach()
endfunction()
