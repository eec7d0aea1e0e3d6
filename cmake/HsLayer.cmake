# hs_layer(name folder [DEPS libs...]): the static library of one folder, which is one layer.
#
# Every source of the folder belongs to the library. Its include root is a directory of the
# build tree that holds the folder alone (a link named after it), so a file sees the headers of
# its own folder and of the libraries it links, and nothing else: an include of a layer above
# fails to compile instead of being accepted quietly.
function(hs_layer name folder)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "" "DEPS")
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${folder}/*.cpp
       ${CMAKE_SOURCE_DIR}/${folder}/*.h ${CMAKE_SOURCE_DIR}/${folder}/*.qrc)
  list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
  get_filename_component(leaf ${folder} NAME)
  set(root ${CMAKE_BINARY_DIR}/layers/${name})
  file(MAKE_DIRECTORY ${root})
  if(NOT EXISTS ${root}/${leaf})
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${root}/${leaf} SYMBOLIC)
  endif()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${root})
  target_link_libraries(${name} PUBLIC ${arg_DEPS})
endfunction()
