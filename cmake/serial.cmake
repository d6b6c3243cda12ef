# SerialPort, ChainBuffer, SP_ASSERT over the platform's serial calls.
kv_room(kv_serial DIRS src/serial DEPS kv_log kv_base kv_platform_serial)
