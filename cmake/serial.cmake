# SerialPort, ChainBuffer, SP_ASSERT over the platform's serial calls.
kv_room(kv_serial DIRS src/serial DEPS kv_log kv_platform_serial)
kv_unit_test(test_serial unit/serial kv_serial)
# The POSIX side of the seam (events, threads, serial devices on pseudo-terminals). On Windows
# these are the system's own calls: test_serial_wine runs the port on them under Wine, with two
# COM ports linked to the ends of a socat pseudo-terminal pair by run-wine-serial.sh.
if(NOT WIN32)
  kv_unit_test(test_platform_sync unit/serial/posix kv_platform_serial)
  kv_unit_test(test_serial_pty integration/serial kv_serial)
elseif(KV_TESTS)
  file(GLOB kv_serial_wine_srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/windows/serial/*.cpp)
  add_executable(test_serial_wine ${kv_serial_wine_srcs})
  target_compile_options(test_serial_wine PRIVATE ${KV_WARN} ${KV_CHARSET})
  target_link_libraries(test_serial_wine PRIVATE kv_serial kv_testcommon GTest::gtest GTest::gtest_main)
  add_test(NAME serial_wine COMMAND bash ${CMAKE_SOURCE_DIR}/tests/windows/serial/run-wine-serial.sh
                                    $<TARGET_FILE:test_serial_wine>)
  set_tests_properties(serial_wine PROPERTIES TIMEOUT 600 WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
endif()
