# The command server and the drive slots: the real program driven over loopback sockets by a
# hand-written client, and the slots in process; on Linux and under Wine.

# ServiceTimings with the fixed values unless a test shortens them (environment variables read by
# OstrinNT-test, or TestServiceTimings in process). An object library, so that it is always linked.
add_library(ostrin_server_test_timings OBJECT server_test_timings.cpp)
ostrin_target_defaults(ostrin_server_test_timings)

# OstrinNT with the tests' timings; the shipped OstrinNT never reads them.
ostrin_executable(OstrinNT-test ${PROJECT_SOURCE_DIR}/service/main.cpp)
target_link_libraries(OstrinNT-test PRIVATE ostrin_command_server ostrin_server_test_timings ostrin_program_entry
                      ostrin_nt_resources)

# The real program run as a process, and a raw client for it (also used by the client tests).
ostrin_library(ostrin_server_process server_process.cpp)
target_link_libraries(ostrin_server_process PUBLIC ostrin_index ostrin_made_volume ostrin_test_process GTest::gtest)
target_compile_definitions(ostrin_server_process PRIVATE
  OSTRIN_NT_PATH="$<TARGET_FILE:OstrinNT>"
  OSTRIN_NT_TEST_PATH="$<TARGET_FILE:OstrinNT-test>")
add_dependencies(ostrin_server_process OstrinNT OstrinNT-test)

# Clients that are other local users are forked children: Linux only.
if(WIN32)
  set(server_access_test)
else()
  set(server_access_test server_access_test.cpp)
endif()
ostrin_test(command_server_tests
  ${server_access_test}
  server_protocol_test.cpp
  server_drive_test.cpp
  server_load_test.cpp
  server_fault_test.cpp
  PORT_49020 "ServerConfigurationTest.WithoutAFileTheServerListensOn49020"
)
target_link_libraries(command_server_tests PRIVATE ostrin_server_process)
