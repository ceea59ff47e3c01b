# make dist's release notes (packaging/Stage.cmake, STEP=check): the version's section of
# CHANGELOG.md is taken only when its heading carries the day of the release. Run with
# cmake -D STAGE_SCRIPT=<Stage.cmake> -D WORK=<scratch folder> -P.
cmake_minimum_required(VERSION 3.20)

set(failures "")
# changelog: the file's text; expected: a text the check's output must hold, "" for success.
function(expect changelog expected)
  file(MAKE_DIRECTORY "${WORK}")
  file(WRITE "${WORK}/CHANGELOG.md" "# Changelog\n\n${changelog}\n## 1.2.3.3 - 2026-01-02\n\nOld.\n")
  execute_process(COMMAND "${CMAKE_COMMAND}" -D STEP=check -D VERSION=1.2.3.4
                          -D "SOURCE_DIR=${WORK}" -P "${STAGE_SCRIPT}"
                  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  string(REGEX REPLACE "\n +" " " output "${output}")
  if(expected STREQUAL "" AND NOT status EQUAL 0)
    set(failures "${failures}  refused \"${changelog}\": ${output}\n" PARENT_SCOPE)
  elseif(NOT expected STREQUAL "" AND (status EQUAL 0 OR NOT output MATCHES "${expected}"))
    set(failures "${failures}  \"${changelog}\" gave (${status}) \"${output}\", not \"${expected}\"\n"
        PARENT_SCOPE)
  endif()
endfunction()

expect("## 1.2.3.4 - 2026-12-07\n\nNew.\n" "")
expect("## [1.2.3.4] - 2026-12-07\r\n\r\nNew.\r\n" "")
expect("## 1.2.3.4 - not yet released\n\nNew.\n"
       "the section of 1.2.3.4 has no release date \\(\"## 1.2.3.4 - not yet released\"\\)")
expect("## 1.2.3.4\n\nNew.\n" "the section of 1.2.3.4 has no release date")
expect("## 1.2.3.4 - 7 December 2026\n\nNew.\n" "has no release date")
expect("## 1.2.3.45 - 2026-12-07\n\nNew.\n" "has no section \"## 1.2.3.4\"")
file(REMOVE_RECURSE "${WORK}")
if(failures)
  message(FATAL_ERROR "Release notes checked wrongly:\n${failures}")
endif()
