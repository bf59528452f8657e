# Helpers shared by the folders' CMakeLists.

# varnelo_library(NAME [QT]): one static library from the folder's *.cpp files, leaving out tests
# (*_test.cpp), test fixtures (*_fixture.cpp) and benchmarks (*_bench.cpp). Headers are included as
# "folder/file.h" from the project root.
function(varnelo_library name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "_(test|fixture|bench)\\.cpp$")
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

# varnelo_test(NAME LIBS <libs...> [SOURCES <files...>] [LABELS <labels...>] [TIMEOUT <seconds>]):
# one GoogleTest binary, by default from the folder's *_test.cpp and *_fixture.cpp files,
# registered with CTest under its own name. Labels: "root" (needs root), "netns" (makes network
# namespaces), "display" (needs Xvfb).
function(varnelo_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "LIBS;SOURCES;LABELS" ${ARGN})
  if(NOT T_SOURCES)
    file(GLOB T_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp
         ${CMAKE_CURRENT_SOURCE_DIR}/*_fixture.cpp)
  endif()
  if(NOT T_SOURCES)
    message(STATUS "${name}: no test sources yet")
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()
