# Helpers shared by every folder.
#
# qn_add_module(name DEPS ...) builds one static library from every .cpp in the
# calling folder except the *_test.cpp files, and gives every *_test.cpp file
# its own test executable (GoogleTest) registered with ctest under its file name.
# Extra sources can be excluded with EXCLUDE (regular expressions on file names).

function(qn_add_module name)
  cmake_parse_arguments(ARG "" "" "DEPS;TEST_DEPS;EXCLUDE;TEST_ENV" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  list(FILTER sources EXCLUDE REGEX "_test\\.cpp$")
  foreach(pattern IN LISTS ARG_EXCLUDE)
    list(FILTER sources EXCLUDE REGEX "${pattern}")
  endforeach()
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS} Threads::Threads PRIVATE qn_warnings)
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_DEPS} Threads::Threads)
  endif()
  foreach(test_source IN LISTS tests)
    get_filename_component(test_name ${test_source} NAME_WE)
    qn_add_test(${test_name} SOURCES ${test_source} DEPS ${name} ${ARG_TEST_DEPS} ENV ${ARG_TEST_ENV})
  endforeach()
endfunction()

# qn_add_test(name SOURCES ... DEPS ... [ENV VAR=value ...] [TIMEOUT s])
function(qn_add_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;DEPS;ENV" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main GTest::gmock qn_warnings)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  if(ARG_ENV)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${ARG_ENV}")
  endif()
endfunction()
