# Host relay: TCP connection, relay thread, transmit data header, Winsock error texts.
kv_room(kv_relay DIRS src/relay DEPS kv_protocol kv_log kv_config kv_platform_net)

if(KV_TESTS)
  # The relay links without any engine code: the tests put a recording terminal behind its
  # TerminalLink.
  kv_unit_test(test_relay unit/relay kv_relay)
  kv_unit_test(test_relay_tcp integration/relay kv_relay)
  foreach(t test_relay test_relay_tcp)
    if(TARGET ${t})
      target_sources(${t} PRIVATE ${CMAKE_SOURCE_DIR}/tests/unit/relay/support/RelaySupport.cpp)
      target_include_directories(${t} PRIVATE ${CMAKE_SOURCE_DIR}/tests/unit/relay)
    endif()
  endforeach()
  if(TARGET test_relay_tcp)
    target_sources(test_relay_tcp PRIVATE ${CMAKE_SOURCE_DIR}/tests/unit/relay/support/LoopbackHost.cpp)
    if(NOT WIN32)
      # errno of the BSD calls read as Winsock numbers: POSIX only.
      target_sources(test_relay_tcp PRIVATE ${CMAKE_SOURCE_DIR}/tests/integration/relay/posix/ErrnoMapTest.cpp)
    endif()
  endif()
endif()

# Simulated bank host for tests and demonstrations (Linux).
if(NOT WIN32)
  add_executable(bankhost ${CMAKE_SOURCE_DIR}/tools/bankhost/bankhost.cpp)
  target_compile_options(bankhost PRIVATE ${KV_WARN})
  if(TARGET test_relay_tcp)
    target_compile_definitions(test_relay_tcp PRIVATE KV_BANKHOST_FILE="$<TARGET_FILE:bankhost>")
    add_dependencies(test_relay_tcp bankhost)
  endif()
endif()
