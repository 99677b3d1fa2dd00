# Reads CHANGELOG.md, the one record of the releases, and turns it into the forms the
# Debian package (changelog.gz) and the AppStream file (<releases>) want.
#
# The file: any introduction, then one section per release, newest first:
#
#   ## [1.1.4] - 2026-12-06
#
#   - One change, which may go on
#     over indented lines.
#
# "## [Unreleased]" sections are skipped; "###" headings only group the items.
#
#   zel_changelog(PATH <file> PACKAGE <name> MAINTAINER "<Name <mail>>")
# sets ZEL_CHANGELOG_VERSIONS and ZEL_CHANGELOG_DATES (lists, newest first),
# ZEL_CHANGELOG_DEBIAN and ZEL_CHANGELOG_APPSTREAM.
#
# As a script, for tests:
#   cmake -DCHANGELOG=<file> -DFORMAT=debian|appstream -DOUTPUT=<file>
#         [-DPACKAGE=<name> -DMAINTAINER=<...>] -P ZelChangelog.cmake

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    cmake_minimum_required(VERSION 3.16)
endif()

# Text is carried through CMake lists, where ';', '[' and ']' have meanings of their
# own: they travel as control characters and come back on output.
string(ASCII 1 _zel_semicolon)
string(ASCII 2 _zel_open)
string(ASCII 3 _zel_close)
string(ASCII 4 _zel_end)

function(_zel_changelog_decode out text)
    string(REPLACE "${_zel_semicolon}" ";" text "${text}")
    string(REPLACE "${_zel_open}" "[" text "${text}")
    string(REPLACE "${_zel_close}" "]" text "${text}")
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

# "Sun, 06 Dec 2026 12:00:00 +0000" for 2026-12-06 (Sakamoto's day of the week).
function(_zel_changelog_rfc2822 out iso)
    string(REGEX MATCH "^([0-9]+)-0*([0-9]+)-0*([0-9]+)$" ok "${iso}")
    set(y ${CMAKE_MATCH_1})
    set(m ${CMAKE_MATCH_2})
    set(d ${CMAKE_MATCH_3})
    if(NOT ok OR m LESS 1 OR m GREATER 12 OR d LESS 1 OR d GREATER 31)
        message(FATAL_ERROR "CHANGELOG.md: '${iso}' is not a date of the form YYYY-MM-DD")
    endif()
    set(offsets 0 3 2 5 0 3 5 1 4 6 2 4)
    math(EXPR i "${m} - 1")
    list(GET offsets ${i} offset)
    set(yy ${y})
    if(m LESS 3)
        math(EXPR yy "${y} - 1")
    endif()
    math(EXPR weekday "(${yy} + ${yy} / 4 - ${yy} / 100 + ${yy} / 400 + ${offset} + ${d}) % 7")
    set(days Sun Mon Tue Wed Thu Fri Sat)
    set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
    list(GET days ${weekday} dayname)
    list(GET months ${i} monthname)
    if(d LESS 10)
        set(d "0${d}")
    endif()
    set(${out} "${dayname}, ${d} ${monthname} ${y} 12:00:00 +0000" PARENT_SCOPE)
endfunction()

# One Debian changelog bullet, wrapped to stay within 80 columns.
function(_zel_changelog_debian_item out text)
    string(REPLACE " " ";" words "${text}")
    set(result "")
    set(line "  *")
    foreach(word IN LISTS words)
        string(LENGTH "${line} ${word}" length)
        if(length GREATER 79 AND NOT line MATCHES "^ *\\*?$")
            string(APPEND result "${line}\n")
            set(line "   ")
        endif()
        string(APPEND line " ${word}")
    endforeach()
    set(${out} "${result}${line}\n" PARENT_SCOPE)
endfunction()

function(_zel_changelog_xml out text)
    string(REPLACE "&" "&amp;" text "${text}")
    string(REPLACE "<" "&lt;" text "${text}")
    string(REPLACE ">" "&gt;" text "${text}")
    # Code spans read as plain words in a software centre.
    string(REPLACE "`" "" text "${text}")
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

function(zel_changelog)
    cmake_parse_arguments(C "" "PATH;PACKAGE;MAINTAINER" "" ${ARGN})
    file(READ "${C_PATH}" content)
    string(REPLACE ";" "${_zel_semicolon}" content "${content}")
    string(REPLACE "[" "${_zel_open}" content "${content}")
    string(REPLACE "]" "${_zel_close}" content "${content}")
    string(REPLACE "\r" "" content "${content}")
    # The last section ends like any other, at a heading no text can hold.
    string(REPLACE "\n" ";" lines "${content}\n## ${_zel_end}")

    set(versions "")
    set(dates "")
    set(debian "")
    set(appstream "")
    set(section "")
    set(version "")
    set(date "")
    set(items "")
    set(item "")
    set(number 0)
    foreach(line IN LISTS lines)
        math(EXPR number "${number} + 1")
        set(where "${C_PATH}:${number}")

        # An item goes on over indented lines and ends at anything else.
        if(NOT item STREQUAL "")
            if(line MATCHES "^  +([^ ].*)$")
                string(APPEND item " ${CMAKE_MATCH_1}")
                continue()
            endif()
            list(APPEND items "${item}")
            set(item "")
        endif()

        if(line MATCHES "^## ")
            if(section STREQUAL "release")
                if(items STREQUAL "")
                    message(FATAL_ERROR "${where}: release ${version} lists no changes")
                endif()
                _zel_changelog_rfc2822(stamp ${date})
                string(APPEND debian "${C_PACKAGE} (${version}) unstable; urgency=medium\n\n")
                string(APPEND appstream
                    "    <release version=\"${version}\" date=\"${date}\">\n"
                    "      <description>\n        <ul>\n")
                foreach(entry IN LISTS items)
                    # Wrapped while still encoded: the words travel as a list.
                    _zel_changelog_debian_item(bullet "${entry}")
                    _zel_changelog_decode(bullet "${bullet}")
                    string(APPEND debian "${bullet}")
                    _zel_changelog_decode(entry "${entry}")
                    _zel_changelog_xml(entry "${entry}")
                    string(APPEND appstream "          <li>${entry}</li>\n")
                endforeach()
                string(APPEND debian "\n -- ${C_MAINTAINER}  ${stamp}\n\n")
                string(APPEND appstream "        </ul>\n      </description>\n    </release>\n")
            endif()
            set(items "")
            if(line STREQUAL "## ${_zel_end}")
                break()
            elseif(line MATCHES "^## ${_zel_open}?Unreleased${_zel_close}? *$")
                set(section "unreleased")
            elseif(line MATCHES
                   "^## ${_zel_open}?([0-9]+\\.[0-9]+\\.[0-9]+)${_zel_close}? +- +([0-9-]+) *$")
                set(section "release")
                set(version ${CMAKE_MATCH_1})
                set(date ${CMAKE_MATCH_2})
                if(version IN_LIST versions)
                    message(FATAL_ERROR "${where}: release ${version} is listed twice")
                endif()
                list(APPEND versions ${version})
                list(APPEND dates ${date})
            else()
                message(FATAL_ERROR "${where}: a release heading reads "
                                    "'## [<major>.<minor>.<patch>] - <YYYY-MM-DD>'")
            endif()
        elseif(NOT section STREQUAL "release" OR line MATCHES "^(### .*| *)$")
            # The introduction, unreleased changes, sub-headings and blank lines.
        elseif(line MATCHES "^- +([^ ].*)$")
            set(item "${CMAKE_MATCH_1}")
        else()
            message(FATAL_ERROR "${where}: under a release only '- ' items belong, not '${line}'")
        endif()
    endforeach()

    set(ZEL_CHANGELOG_VERSIONS "${versions}" PARENT_SCOPE)
    set(ZEL_CHANGELOG_DATES "${dates}" PARENT_SCOPE)
    set(ZEL_CHANGELOG_DEBIAN "${debian}" PARENT_SCOPE)
    set(ZEL_CHANGELOG_APPSTREAM "${appstream}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    if(NOT PACKAGE)
        set(PACKAGE zelloader)
    endif()
    if(NOT MAINTAINER)
        set(MAINTAINER "zelLoader developers <zelloader@example.org>")
    endif()
    zel_changelog(PATH "${CHANGELOG}" PACKAGE "${PACKAGE}" MAINTAINER "${MAINTAINER}")
    if(FORMAT STREQUAL "debian")
        file(WRITE "${OUTPUT}" "${ZEL_CHANGELOG_DEBIAN}")
    elseif(FORMAT STREQUAL "appstream")
        file(WRITE "${OUTPUT}" "${ZEL_CHANGELOG_APPSTREAM}")
    else()
        message(FATAL_ERROR "FORMAT must be debian or appstream")
    endif()
endif()
