# Puts together the files of the release package in STAGE (run with cmake -P).
#   STEP=check   only that CHANGELOG.md has a dated section for VERSION (make dist's first step)
#   STEP=plugin  the plug-in, stripped of its symbols, and the licence
#   STEP=notes   the read-me for players' users and this version's release notes from CHANGELOG.md
# Text files get Windows line ends: they are read with Notepad.
cmake_minimum_required(VERSION 3.20)

function(write_windows_text path text)
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE "${path}" "${text}")
endfunction()

# The section of CHANGELOG.md whose heading is "## <version>" (or "## [<version>]"), heading
# included, up to the next heading of that level.
function(release_notes changelog version out)
  file(READ "${changelog}" text)
  string(REPLACE "\r" "" text "${text}")
  set(text "\n${text}")
  foreach(heading "\n## ${version} " "\n## ${version}\n" "\n## [${version}]")
    string(FIND "${text}" "${heading}" start)
    if(start GREATER_EQUAL 0)
      break()
    endif()
  endforeach()
  if(start LESS 0)
    message(FATAL_ERROR "CHANGELOG.md has no section \"## ${version}\": write the release notes "
                        "of this version first.")
  endif()
  math(EXPR start "${start} + 1")
  string(SUBSTRING "${text}" ${start} -1 text)
  # A release is made on a day: notes still marked unreleased (or undated) are not its notes.
  string(FIND "${text}" "\n" line_end)
  string(SUBSTRING "${text}" 0 ${line_end} heading)
  string(REPLACE "." "\\." version_pattern "${version}")
  if(NOT heading MATCHES "^## \\[?${version_pattern}\\]? - [0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]$")
    string(TIMESTAMP today "%Y-%m-%d")
    message(FATAL_ERROR "CHANGELOG.md: the section of ${version} has no release date "
                        "(\"${heading}\"): write the day of the release into its heading, as "
                        "\"## ${version} - ${today}\", then make dist again.")
  endif()
  string(SUBSTRING "${text}" 3 -1 text)
  string(FIND "${text}" "\n## " end)
  if(end GREATER_EQUAL 0)
    string(SUBSTRING "${text}" 0 ${end} text)
  endif()
  # Plain text: sub-headings become "Added:", code marks go.
  string(REGEX REPLACE "\n### ([^\n]*)" "\n\\1:" text "${text}")
  string(REPLACE "`" "" text "${text}")
  string(STRIP "${text}" text)
  set(${out} "${text}\n" PARENT_SCOPE)
endfunction()

if(STEP STREQUAL "check")
  release_notes("${SOURCE_DIR}/CHANGELOG.md" "${VERSION}" notes)
  return()
endif()
file(MAKE_DIRECTORY "${STAGE}")
if(STEP STREQUAL "plugin")
  file(COPY_FILE "${DLL}" "${STAGE}/in_hvqblend.dll")
  execute_process(COMMAND "${STRIP}" --strip-unneeded "${STAGE}/in_hvqblend.dll"
                  COMMAND_ERROR_IS_FATAL ANY)
  file(READ "${SOURCE_DIR}/LICENSE" licence)
  write_windows_text("${STAGE}/LICENSE.txt" "${licence}")
elseif(STEP STREQUAL "notes")
  file(READ "${README_IN}" readme)
  string(CONFIGURE "${readme}" readme @ONLY)
  write_windows_text("${STAGE}/README.txt" "${readme}")
  release_notes("${SOURCE_DIR}/CHANGELOG.md" "${VERSION}" notes)
  write_windows_text("${STAGE}/RELEASE-NOTES.txt" "Halvern Q-Blend ${notes}")
else()
  message(FATAL_ERROR "Stage.cmake: unknown STEP \"${STEP}\"")
endif()
