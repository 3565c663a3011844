# tds_add_test(NAME <name> SOURCES <files...> LIBS <libs...> [THREADED] [LOCK_PORTS] [TIMEOUT <s>]
#              [DEFINES <definitions...>] [DEPENDS <targets...>])
#
# The one way to register a GoogleTest executable. LIBS names every library
# the test uses (nothing is linked by default). THREADED marks the suites
# that the ThreadSanitizer run covers; LOCK_PORTS serialises tests that bind
# the service's fixed ports (53200-53202) and runs them in a network of their
# own (cmake/RunWithOwnNetwork.sh). DEFINES adds compile definitions
# and DEPENDS targets built first (an executable the test runs).
function(tds_add_test)
  cmake_parse_arguments(T "THREADED;LOCK_PORTS" "NAME;TIMEOUT" "SOURCES;LIBS;DEFINES;DEPENDS" ${ARGN})
  if(TDS_TSAN_SUBSET AND NOT T_THREADED)
    return()
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  if(T_DEFINES)
    target_compile_definitions(${T_NAME} PRIVATE ${T_DEFINES})
  endif()
  if(T_DEPENDS)
    add_dependencies(${T_NAME} ${T_DEPENDS})
  endif()
  if(T_LOCK_PORTS)
    add_test(NAME ${T_NAME} COMMAND ${CMAKE_SOURCE_DIR}/cmake/RunWithOwnNetwork.sh $<TARGET_FILE:${T_NAME}>
                                    --gtest_brief=1)
  else()
    add_test(NAME ${T_NAME} COMMAND ${T_NAME} --gtest_brief=1)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
  if(T_LOCK_PORTS)
    set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK service_ports)
  endif()
  # Child processes inherit these. Nothing is suppressed under TSan; LSan
  # leaves OpenSSL's process-lifetime state alone (see the file).
  if(SANITIZE STREQUAL "thread")
    set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1")
  elseif(SANITIZE STREQUAL "address")
    set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT
      "LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/cmake/lsan.supp")
  endif()
endfunction()
