# Every compiled target must link zel_options, or it is built without the project's
# language standard and warnings, and -Werror builds would let its warnings through.
# A target added without it stops the configuration here rather than slipping by.
function(zel_check_targets_link_options dir)
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target IN LISTS targets)
        get_target_property(type ${target} TYPE)
        if(type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$")
            get_target_property(libs ${target} LINK_LIBRARIES)
            if(NOT "zel_options" IN_LIST libs)
                message(FATAL_ERROR "Target ${target} (${dir}) does not link zel_options; add "
                                    "`target_link_libraries(${target} PRIVATE zel_options)`")
            endif()
        endif()
    endforeach()
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    foreach(subdir IN LISTS subdirs)
        zel_check_targets_link_options(${subdir})
    endforeach()
endfunction()
