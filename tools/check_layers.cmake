# Fails when a unit includes a layer above its own. The layers, lowest first:
# containers, strings, fs, backup, app; each may use those beneath it. The
# one exception is the string list of containers/, a container of strings,
# which may use strings/. Unit tests may use anything.
#
# cmake -DSOURCE_DIR=<tree> -DSTAMP=<file> -P check_layers.cmake
cmake_minimum_required(VERSION 3.18)
set(layers containers strings fs backup app)
set(faults "")
set(count 0)
foreach(folder ${layers})
  math(EXPR count "${count} + 1")
  list(SUBLIST layers 0 ${count} below)
  file(GLOB units RELATIVE ${SOURCE_DIR}
       ${SOURCE_DIR}/${folder}/*.h ${SOURCE_DIR}/${folder}/*.cpp)
  foreach(unit ${units})
    if(unit MATCHES "_test\\.cpp$")
      continue()
    endif()
    set(allowed ${below})
    if(unit MATCHES "^containers/CQKStringList\\.")
      list(APPEND allowed strings)
    endif()
    file(STRINGS ${SOURCE_DIR}/${unit} includes
         REGEX "^[ \t]*#[ \t]*include[ \t]+\"[a-z]+/")
    foreach(line ${includes})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]+\"([a-z]+)/.*" "\\1"
             used "${line}")
      if(used IN_LIST layers AND NOT used IN_LIST allowed)
        list(APPEND faults "${unit} includes ${used}/, a layer above it")
      endif()
    endforeach()
  endforeach()
endforeach()
if(faults)
  list(JOIN faults "\n" text)
  message(FATAL_ERROR "${text}")
endif()
file(WRITE ${STAMP} "layers ok\n")
