# The check of the core's layers, run when the build is configured. The core's layers are
# its folders: src/core/base, source, cache, link and session, and the plugin's top in
# src/core itself. A file's `#include "core/<layer>/X.h"` names the layer it uses (and
# `#include "core/X.h"` the top), so the check reads the include lines alone.
#
#   korvane_check_includes(WHAT <name> FOLDER <dir> MAY_USE <layer>...
#                          [TOP_HEADERS <header>...])
#
# fails the configuration when a .h or .cpp file directly in FOLDER includes a core header
# that does not exist, or one of a layer not in MAY_USE; with TOP_HEADERS, of the top's
# headers only those may be included. A change to any checked file configures again, so
# that an include added later is checked too.
function(korvane_check_includes)
  cmake_parse_arguments(ARG "" "WHAT;FOLDER" "MAY_USE;TOP_HEADERS" ${ARGN})
  file(GLOB files CONFIGURE_DEPENDS ${ARG_FOLDER}/*.h ${ARG_FOLDER}/*.cpp)
  foreach(file IN LISTS files)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${file})
    file(STRINGS ${file} includes REGEX "^#include \"core/")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^#include \"core/([^\"]+)\".*" "\\1" header "${line}")
      set(layer "")
      if(header MATCHES "^([a-z]+)/[A-Za-z]+\\.h$")
        set(layer ${CMAKE_MATCH_1})
      elseif(header MATCHES "^[A-Za-z]+\\.h$")
        set(layer top)
      endif()
      file(RELATIVE_PATH shown ${PROJECT_SOURCE_DIR} ${file})
      if(NOT layer OR NOT EXISTS ${PROJECT_SOURCE_DIR}/src/core/${header})
        message(FATAL_ERROR "${shown} includes core/${header}, which is no core header")
      endif()
      if(NOT layer IN_LIST ARG_MAY_USE)
        message(FATAL_ERROR "${shown} (${ARG_WHAT}) includes core/${header} of the layer"
                            " ${layer}, which ${ARG_WHAT} may not use")
      endif()
      if(layer STREQUAL "top" AND ARG_TOP_HEADERS AND NOT header IN_LIST ARG_TOP_HEADERS)
        message(FATAL_ERROR "${shown} (${ARG_WHAT}) includes core/${header}; of the"
                            " plugin's top it may use only ${ARG_TOP_HEADERS}")
      endif()
    endforeach()
  endforeach()
endfunction()
