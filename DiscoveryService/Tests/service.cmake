# The service host: the framework, registration, the service object and the
# executable run as a child process.
tds_add_test(NAME ServiceFrameworkTest SOURCES Tests/ServiceFrameworkTest.cpp THREADED)
tds_add_test(NAME ServiceInstallTest SOURCES Tests/ServiceInstallTest.cpp)
tds_add_test(NAME ServiceMainTest SOURCES Tests/ServiceMainTest.cpp LIBS corvane_discovery)
tds_add_test(NAME ServiceCommandLineTest SOURCES Tests/ServiceCommandLineTest.cpp)
# The child processes open 53202; the sanitizer builds run the executable
# built with the same sanitizer.
tds_add_test(NAME ServiceProcessTest SOURCES Tests/ServiceProcessTest.cpp THREADED LOCK_PORTS TIMEOUT 300)
foreach(test ServiceCommandLineTest ServiceProcessTest)
  if(TARGET ${test})
    target_compile_definitions(${test} PRIVATE TDS_SERVICE_EXECUTABLE="$<TARGET_FILE:TalvenorDiscoveryService>")
    add_dependencies(${test} TalvenorDiscoveryService)
  endif()
endforeach()
