# libFuzzer targets (make test-fuzz): a clang build of their own, with AddressSanitizer and
# UndefinedBehaviorSanitizer, never mixed with the products. Each target links the rooms it
# exercises; fuzz/run-fuzz.sh runs them.
if(NOT KV_FUZZ)
  return()
endif()

add_library(kv_fuzzenv STATIC ${CMAKE_SOURCE_DIR}/fuzz/FuzzEnv.cpp)
target_compile_options(kv_fuzzenv PRIVATE ${KV_WARN})
target_link_libraries(kv_fuzzenv PUBLIC kv_foundation)

add_custom_target(kv_fuzz)
function(kv_fuzz_target name)
  add_executable(${name} ${CMAKE_SOURCE_DIR}/fuzz/${name}.cpp)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/fuzz)
  target_compile_options(${name} PRIVATE ${KV_WARN})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE kv_fuzzenv ${ARGN})
  add_dependencies(kv_fuzz ${name})
endfunction()

kv_fuzz_target(fuzz_frame_codec kv_protocol)
kv_fuzz_target(fuzz_config kv_foundation)
kv_fuzz_target(fuzz_receipt kv_print)
kv_fuzz_target(fuzz_request kv_engine)
kv_fuzz_target(fuzz_recv_framing kv_engine)
