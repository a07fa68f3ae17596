include(GoogleTest)

# refwarden_add_test(<target> SOURCES <file>... [LIBRARIES <library>...]
#                    [DEFINITIONS <definition>...] [DEPENDS <target>...]
#                    [LABELS <label>...] [TIMEOUT <seconds>])
# A GoogleTest program linked with the test supports and held to the
# project's warnings. Built for this machine, each of its tests becomes a
# CTest test with the labels and the timeout; cross-built (the Windows tests)
# it is left to scripts/test-win32.sh, which runs it under Wine.
function(refwarden_add_test target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "TIMEOUT"
                        "SOURCES;LIBRARIES;DEFINITIONS;DEPENDS;LABELS")
  add_executable(${target} ${arg_SOURCES})
  target_link_libraries(${target} PRIVATE ${arg_LIBRARIES} refwarden_test_support
                        GTest::gtest_main)
  if(arg_DEFINITIONS)
    target_compile_definitions(${target} PRIVATE ${arg_DEFINITIONS})
  endif()
  if(arg_DEPENDS)
    add_dependencies(${target} ${arg_DEPENDS})
  endif()
  refwarden_warnings(${target})
  if(CMAKE_CROSSCOMPILING)
    return()
  endif()

  gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST)
  # gtest_discover_tests flattens list-valued PROPERTIES (two labels become a
  # label and a stray property), so a script that CTest reads after the
  # discovered tests sets them.
  set(properties "")
  if(arg_LABELS)
    string(APPEND properties " LABELS [==[${arg_LABELS}]==]")
  endif()
  if(arg_TIMEOUT)
    string(APPEND properties " TIMEOUT ${arg_TIMEOUT}")
  endif()
  if(properties)
    set(script "${CMAKE_CURRENT_BINARY_DIR}/${target}_properties.cmake")
    file(WRITE "${script}"
         "if(DEFINED ${target}_TESTS)\n"
         "  set_tests_properties(\${${target}_TESTS} PROPERTIES${properties})\n"
         "endif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${script}")
  endif()
endfunction()
