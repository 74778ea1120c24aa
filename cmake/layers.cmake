# One static library per layer of the service's own code. Each layer sees only the headers of
# the layers it names as dependencies: its include root (build/layers/<name>) holds a single
# link, <name> -> src/<name>, so `#include "shell/..."` resolves only in targets that link
# vovu_shell. Dependencies are PRIVATE, so nothing leaks upward by accident; a header included
# against the direction fails to compile.
#
# vovu_layer(<name> [SOURCES <files>...] [DEPS <layers>...] [LIBS <libraries>...])
#   <name>    a folder of src/ and the library vovu_<name>
#   SOURCES   the layer's sources (default: src/<name>/*.cpp)
#   DEPS      lower layers whose headers this layer uses
#   LIBS      outside libraries, private to the layer
function(vovu_layer name)
  cmake_parse_arguments(LAYER "" "" "SOURCES;DEPS;LIBS" ${ARGN})
  if(NOT LAYER_SOURCES)
    file(GLOB LAYER_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/${name}/*.cpp)
  endif()

  set(root ${CMAKE_BINARY_DIR}/layers/${name})
  if(NOT EXISTS ${root}/${name})
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${name} ${root}/${name} SYMBOLIC)
  endif()

  set(deps)
  foreach(dep IN LISTS LAYER_DEPS)
    list(APPEND deps vovu_${dep})
  endforeach()

  if(LAYER_SOURCES)
    add_library(vovu_${name} STATIC ${LAYER_SOURCES})
    target_include_directories(vovu_${name} PUBLIC ${root})
    target_link_libraries(vovu_${name} PRIVATE ${deps} ${LAYER_LIBS})
  else()
    # A layer with headers only (or none yet) still has its include root.
    add_library(vovu_${name} INTERFACE)
    target_include_directories(vovu_${name} INTERFACE ${root})
    target_link_libraries(vovu_${name} INTERFACE ${deps} ${LAYER_LIBS})
  endif()
endfunction()
