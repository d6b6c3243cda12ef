# Frame codec and transaction identifier; request content builder and receipt writer (pure functions).
kv_room(kv_protocol DIRS src/protocol DEPS kv_log kv_config kv_platform)
kv_room(kv_print DIRS src/print DEPS kv_log kv_config kv_platform)
kv_unit_test(test_protocol unit/protocol kv_protocol kv_print)
# The public header must compile as C: a C translation unit with layout checks, built with the tests.
if(KV_TESTS)
  add_library(kv_header_c_check OBJECT ${CMAKE_SOURCE_DIR}/tests/unit/protocol/HeaderCheck.c)
  set_target_properties(kv_header_c_check PROPERTIES C_STANDARD 90 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
  target_include_directories(kv_header_c_check PRIVATE ${CMAKE_SOURCE_DIR}/include)
  target_compile_options(kv_header_c_check PRIVATE ${KV_WARN} -pedantic)
  if(TARGET test_protocol)
    add_dependencies(test_protocol kv_header_c_check)
  endif()
endif()
