# SerialPort, ChainBuffer, SP_ASSERT over the platform's serial calls.
kv_room(kv_serial DIRS src/serial DEPS kv_foundation kv_platform_serial)
kv_unit_test(test_serial unit/serial kv_serial)
# The POSIX side of the seam (events, threads, serial devices on pseudo-terminals). On Windows
# these are the system's own calls; the end-to-end tests under Wine cover the port there.
if(NOT WIN32)
  kv_unit_test(test_platform_sync unit/serial/posix kv_platform)
  kv_unit_test(test_serial_pty integration/serial kv_serial)
endif()
