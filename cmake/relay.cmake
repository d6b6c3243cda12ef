# Host relay: TCP connection, relay thread, transmit data header, Winsock error texts.
kv_room(kv_relay DIRS src/relay DEPS kv_protocol kv_log kv_config kv_base kv_platform_net)

# Simulated bank host for tests and demonstrations (Linux).
if(NOT WIN32)
  add_executable(bankhost ${CMAKE_SOURCE_DIR}/tools/bankhost/bankhost.cpp)
  target_compile_options(bankhost PRIVATE ${KV_WARN})
endif()
