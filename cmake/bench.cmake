# Benchmarks (make bench; figures in BENCHMARKS.md): Google Benchmark for the inner paths, the rig of the
# fault matrix for whole transactions.
if(NOT WIN32 AND KV_TESTS AND TARGET kv_rig)
  find_package(benchmark REQUIRED)  # libbenchmark-dev, from scripts/install-deps.sh
  add_executable(bench_paths EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/bench/bench_paths.cpp)
  target_compile_options(bench_paths PRIVATE ${KV_WARN} ${KV_CHARSET})
  target_link_libraries(bench_paths PRIVATE kv_engine kv_testsupport benchmark::benchmark)
  add_executable(bench_transaction EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/bench/bench_transaction.cpp)
  target_compile_options(bench_transaction PRIVATE ${KV_WARN} ${KV_CHARSET})
  target_compile_definitions(bench_transaction PRIVATE KV_BANKHOST_FILE="$<TARGET_FILE:bankhost>"
                                                      KV_LIBRARY_FILE="$<TARGET_FILE:KorvessaDLL>")
  target_link_libraries(bench_transaction PRIVATE kv_rig)
  add_dependencies(bench_transaction KorvessaDLL bankhost)
endif()
