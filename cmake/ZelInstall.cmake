# Installs a program and its man page; the Debian package picks both up:
#   zel_install_program(zelLoader MANPAGE zelLoader.1.in)
# The page is named <program>.<section>[.in]. A page ending in .in has its
# @PROJECT_VERSION@ and @ZEL_RELEASE_DATE@ filled in first. On Unix the page goes,
# gzip-compressed, to share/man/man<section>; other systems get the program only.
find_program(ZEL_GZIP gzip)

function(zel_install_program target)
    cmake_parse_arguments(P "" "MANPAGE" "" ${ARGN})
    install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    if(NOT P_MANPAGE OR NOT UNIX)
        return()
    endif()

    get_filename_component(page ${P_MANPAGE} NAME)
    string(REGEX REPLACE "\\.in$" "" page ${page})
    if(NOT page MATCHES "\\.([1-9])$")
        message(FATAL_ERROR "Man page ${P_MANPAGE} needs a name ending in its section, .1 to .9")
    endif()
    set(section ${CMAKE_MATCH_1})
    set(filled ${CMAKE_CURRENT_BINARY_DIR}/man/${page})
    configure_file(${P_MANPAGE} ${filled} @ONLY)

    zel_install_compressed(${filled} ${CMAKE_INSTALL_MANDIR}/man${section})
endfunction()

# Installs <file> into <destination> as <file>.gz, compressed as Debian wants it
# (gzip -9, no name or time in the header, so the package is reproducible); without
# gzip, as it is.
function(zel_install_compressed file destination)
    if(NOT ZEL_GZIP)
        install(FILES ${file} DESTINATION ${destination})
        return()
    endif()
    get_filename_component(name ${file} NAME)
    add_custom_command(OUTPUT ${file}.gz
        COMMAND ${ZEL_GZIP} -9 -n -c ${file} > ${file}.gz
        DEPENDS ${file}
        COMMENT "Compressing ${name}")
    file(RELATIVE_PATH target ${PROJECT_BINARY_DIR} ${file})
    string(MAKE_C_IDENTIFIER "zel_gzip_${target}" target)
    add_custom_target(${target} ALL DEPENDS ${file}.gz)
    install(FILES ${file}.gz DESTINATION ${destination})
endfunction()
