# Transaction engine (MyComm), exported functions, and the library itself.
kv_room(kv_engine DIRS src/engine DEPS kv_serial kv_relay kv_print kv_protocol kv_foundation)
# The relay writes to the terminal through MyComm: the two archives refer to each other.
target_link_libraries(kv_relay PUBLIC kv_engine)
kv_room(kv_export DIRS src/export DEPS kv_engine)
