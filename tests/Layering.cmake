# The floors of the plug-in's sources (run with cmake -D SRC=<src folder> -P): each room includes
# only itself and the rooms it may use, so that no room reaches up to one above it. A floor that
# grows an include upwards fails here, naming the file and the include.
cmake_minimum_required(VERSION 3.20)

# The rooms each room may include besides itself. The sound room is pure: samples in, samples
# or answers out, nothing of the platform. The plug-in's globals (and the resource ids they share
# with the windows) stand between the engine and the windows; src/plugin is the exports, the top
# floor.
set(may_sound "")
set(may_hostlink "")
set(may_hookedins hostlink)
set(may_config hostlink)
set(may_about hostlink)
set(may_playback hostlink hookedins config sound)
set(may_globals hostlink hookedins config about playback sound)
set(may_ui hostlink hookedins config about playback globals sound)
set(may_exports hostlink hookedins config about playback globals ui sound)

function(room_of file out)
  file(RELATIVE_PATH relative "${SRC}" "${file}")
  string(REGEX MATCH "^[^/]+" room "${relative}")
  if(room STREQUAL "plugin")
    set(room exports)
  endif()
  set(${out} "${room}" PARENT_SCOPE)
endfunction()

file(GLOB_RECURSE sources "${SRC}/*.h" "${SRC}/*.cpp" "${SRC}/*.rc")
set(wrong "")
foreach(source IN LISTS sources)
  room_of("${source}" from)
  if(NOT DEFINED may_${from})
    continue() # pure/, native/: build folders, no room
  endif()
  get_filename_component(folder "${source}" DIRECTORY)
  file(STRINGS "${source}" includes REGEX "^#include \"")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" included "${line}")
    get_filename_component(target "${folder}/${included}" ABSOLUTE)
    if(NOT EXISTS "${target}")
      continue() # generated at build time (the version header)
    endif()
    room_of("${target}" to)
    if(NOT to STREQUAL from AND NOT to IN_LIST may_${from})
      file(RELATIVE_PATH shown "${SRC}" "${source}")
      string(APPEND wrong "  src/${shown} (${from}) includes ${included} (${to})\n")
    endif()
  endforeach()
endforeach()
if(wrong)
  message(FATAL_ERROR "Includes that reach up a floor:\n${wrong}")
endif()
list(LENGTH sources count)
message(STATUS "${count} source files, every include on its own floor or below")
