# hs_folder_library(name folder deps...): a static library of every .cpp in the folder except
# screen code and main.cpp. A folder with no sources yet gives an interface library.
set(HS_SCREEN_SOURCES "" CACHE INTERNAL "")

function(hs_folder_library name folder)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${folder}/*.cpp)
  file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${folder}/*.h)
  set(screen_sources ${sources})
  list(FILTER sources EXCLUDE REGEX "(Screen|Widget)[^/]*\\.cpp$")
  list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
  list(FILTER headers EXCLUDE REGEX "(Screen|Widget)[^/]*\\.h$")
  # Screen headers belong to the screens library (AUTOMOC would compile them here otherwise).
  list(FILTER screen_sources INCLUDE REGEX "(Screen|Widget)[^/]*\\.cpp$")
  set(HS_SCREEN_SOURCES ${HS_SCREEN_SOURCES} ${screen_sources} CACHE INTERNAL "")
  if(sources)
    add_library(${name} STATIC ${sources} ${headers})
    target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARGN})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARGN})
  endif()
endfunction()

# hs_screens_library(name deps...): every screen source collected by hs_folder_library.
function(hs_screens_library name)
  file(GLOB_RECURSE screen_headers CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/*Screen*.h
       ${CMAKE_SOURCE_DIR}/src/*Widget*.h)
  if(HS_SCREEN_SOURCES)
    add_library(${name} STATIC ${HS_SCREEN_SOURCES} ${screen_headers})
    target_link_libraries(${name} PUBLIC ${ARGN})
  else()
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE ${ARGN})
  endif()
endfunction()
