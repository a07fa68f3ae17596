include(GoogleTest)

# refwarden_emulator_status(<runs> <reason>): for a cross build, whether
# CMAKE_CROSSCOMPILING_EMULATOR starts here (its --version answers), and if
# not, why, in a few words. Asked once per configure.
function(refwarden_emulator_status runs reason)
  get_property(known GLOBAL PROPERTY _refwarden_emulator_known)
  if(NOT known)
    set(ok FALSE)
    set(why "")
    if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
      set(why "the build has no CMAKE_CROSSCOMPILING_EMULATOR")
    elseif(NOT EXISTS "${CMAKE_CROSSCOMPILING_EMULATOR}")
      set(why "${CMAKE_CROSSCOMPILING_EMULATOR} is not installed (scripts/install-deps.sh win32)")
    else()
      execute_process(COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} --version
                      RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE said TIMEOUT 60)
      if(status EQUAL 0)
        set(ok TRUE)
      else()
        string(REGEX REPLACE "\n.*" "" said "${said}")
        set(why "${CMAKE_CROSSCOMPILING_EMULATOR} does not start here (${status}: ${said})")
      endif()
    endif()
    set_property(GLOBAL PROPERTY _refwarden_emulator_known TRUE)
    set_property(GLOBAL PROPERTY _refwarden_emulator_runs ${ok})
    set_property(GLOBAL PROPERTY _refwarden_emulator_reason "${why}")
    if(NOT ok)
      message(STATUS "Tests will not run: ${why}")
    endif()
  endif()
  get_property(value GLOBAL PROPERTY _refwarden_emulator_runs)
  set(${runs} ${value} PARENT_SCOPE)
  get_property(value GLOBAL PROPERTY _refwarden_emulator_reason)
  set(${reason} "${value}" PARENT_SCOPE)
endfunction()

# refwarden_add_test(<target> SOURCES <file>... [LIBRARIES <library>...]
#                    [DEFINITIONS <definition>...] [DEPENDS <target>...]
#                    [LABELS <label>...] [TIMEOUT <seconds>])
# A GoogleTest program linked with the test supports and held to the
# project's warnings; each of its tests becomes a CTest test with the labels
# and the timeout. Cross-built (the Windows tests) it is listed and run
# through CMAKE_CROSSCOMPILING_EMULATOR (Wine); where that does not start,
# one CTest test per program says why and is reported as skipped.
function(refwarden_add_test target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "TIMEOUT"
                        "SOURCES;LIBRARIES;DEFINITIONS;DEPENDS;LABELS")
  add_executable(${target} ${arg_SOURCES})
  if(CMAKE_CROSSCOMPILING AND WIN32)
    # gtest_main with standard output in binary mode: the list of tests that
    # CTest reads through Wine must not end its lines with CR.
    set(main refwarden_win32_test_main)
  else()
    set(main GTest::gtest_main)
  endif()
  target_link_libraries(${target} PRIVATE ${arg_LIBRARIES} refwarden_test_support ${main})
  if(arg_DEFINITIONS)
    target_compile_definitions(${target} PRIVATE ${arg_DEFINITIONS})
  endif()
  if(arg_DEPENDS)
    add_dependencies(${target} ${arg_DEPENDS})
  endif()
  refwarden_warnings(${target})

  if(CMAKE_CROSSCOMPILING)
    refwarden_emulator_status(runs reason)
    if(NOT runs)
      add_test(NAME ${target}.NotRun
               COMMAND sh -c "echo \"not run: $1\"; exit 77" sh "${reason}")
      set_tests_properties(${target}.NotRun PROPERTIES SKIP_RETURN_CODE 77)
      return()
    endif()
  endif()

  # Listed when CTest runs (through the emulator when cross-built), not when
  # built: a Windows build needs no Wine until its tests run.
  gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120)
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
