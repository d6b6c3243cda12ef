# korvessa (command-line cash register), posterm (simulated terminal and bank host), the fault matrix.

# What korvessa and posterm share: reading the library's log, GBK conversion. Header-only tables of
# src/protocol (Layout.h) and the public header come with it; nothing of the library is linked.
add_library(kv_toolcommon STATIC ${CMAKE_SOURCE_DIR}/tools/common/LogParse.cpp
                                 ${CMAKE_SOURCE_DIR}/tools/common/Gbk.cpp)
target_include_directories(kv_toolcommon PUBLIC ${CMAKE_SOURCE_DIR}/tools/common ${CMAKE_SOURCE_DIR}/src
                                                ${CMAKE_SOURCE_DIR}/include)
target_compile_options(kv_toolcommon PRIVATE ${KV_WARN})

# korvessa loads the library at run time, like a real cash register: it does not link it.
# It masks card numbers as the library's log does (base/CardMask: plain functions, no library state).
add_library(korvessa_core STATIC ${CMAKE_SOURCE_DIR}/tools/korvessa/Records.cpp
                                  ${CMAKE_SOURCE_DIR}/tools/korvessa/JournalCmd.cpp
                                  ${CMAKE_SOURCE_DIR}/tools/korvessa/LogTimeline.cpp
                                  ${CMAKE_SOURCE_DIR}/tools/korvessa/LogCmd.cpp
                                  ${CMAKE_SOURCE_DIR}/tools/korvessa/DoctorCmd.cpp
                                  ${CMAKE_SOURCE_DIR}/tools/korvessa/FileText.cpp
                                  ${CMAKE_SOURCE_DIR}/tools/korvessa/Library.cpp
                                  ${CMAKE_SOURCE_DIR}/tools/korvessa/CommandLine.cpp
                                  ${CMAKE_SOURCE_DIR}/tools/korvessa/Output.cpp
                                  ${CMAKE_SOURCE_DIR}/tools/korvessa/Run.cpp
                                  ${CMAKE_SOURCE_DIR}/src/base/CardMask.cpp)
target_include_directories(korvessa_core PUBLIC ${CMAKE_SOURCE_DIR}/tools/korvessa ${CMAKE_SOURCE_DIR}/src
                                                ${CMAKE_SOURCE_DIR}/include)
target_compile_options(korvessa_core PRIVATE ${KV_WARN})
target_link_libraries(korvessa_core PUBLIC kv_toolcommon)
if(WIN32)
  target_link_libraries(korvessa_core PUBLIC ws2_32)  # the doctor's connects to the bank hosts
endif()
add_executable(korvessa ${CMAKE_SOURCE_DIR}/tools/korvessa/main.cpp)
target_include_directories(korvessa PRIVATE ${CMAKE_SOURCE_DIR}/include)
target_compile_options(korvessa PRIVATE ${KV_WARN})
target_link_libraries(korvessa PRIVATE korvessa_core)
if(NOT WIN32)
  target_link_libraries(korvessa PRIVATE ${CMAKE_DL_LIBS})
endif()

if(NOT WIN32)
  find_package(Threads REQUIRED)
  # The simulated terminal's core, shared by the program and the tests.
  add_library(posterm_core STATIC ${CMAKE_SOURCE_DIR}/tools/posterm/Frame.cpp
                                  ${CMAKE_SOURCE_DIR}/tools/posterm/Options.cpp
                                  ${CMAKE_SOURCE_DIR}/tools/posterm/Terminal.cpp
                                  ${CMAKE_SOURCE_DIR}/tools/posterm/Replay.cpp)
  target_include_directories(posterm_core PUBLIC ${CMAKE_SOURCE_DIR}/tools/posterm)
  target_compile_options(posterm_core PRIVATE ${KV_WARN})
  target_link_libraries(posterm_core PUBLIC Threads::Threads kv_toolcommon)

  add_executable(posterm ${CMAKE_SOURCE_DIR}/tools/posterm/main.cpp)
  target_compile_options(posterm PRIVATE ${KV_WARN})
  target_link_libraries(posterm PRIVATE posterm_core)
endif()

# Benchmark of the relay's stops (figures in BENCHMARKS.md); not a test. Its hosts and scratch folder
# are tests/support's.
if(NOT WIN32 AND KV_TESTS AND TARGET KorvessaDLL)
  add_executable(relay_stop_bench EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/bench/relay_stop_bench.cpp)
  target_include_directories(relay_stop_bench PRIVATE ${CMAKE_SOURCE_DIR}/include)
  target_compile_options(relay_stop_bench PRIVATE ${KV_WARN})
  target_link_libraries(relay_stop_bench PRIVATE kv_testsupport posterm_core ${CMAKE_DL_LIBS})
  add_dependencies(relay_stop_bench KorvessaDLL)
endif()

# The fault matrix, soak and load/unload driver (a tool: table-driven, run by make test-matrix/test-soak).
if(NOT WIN32 AND KV_TESTS AND TARGET KorvessaDLL)
  # The rig is a tool: it links the products and tests/support, never a test's own sources.
  add_library(kv_rig STATIC ${CMAKE_SOURCE_DIR}/tools/faultmatrix/Rig.cpp)
  target_include_directories(kv_rig PUBLIC ${CMAKE_SOURCE_DIR}/tools/faultmatrix ${CMAKE_SOURCE_DIR}/include)
  target_compile_options(kv_rig PRIVATE ${KV_WARN} ${KV_CHARSET})
  target_compile_definitions(kv_rig PRIVATE KV_LIBRARY_FILE="$<TARGET_FILE:KorvessaDLL>")
  target_link_libraries(kv_rig PUBLIC kv_testsupport posterm_core ${CMAKE_DL_LIBS})
  add_executable(faultmatrix ${CMAKE_SOURCE_DIR}/tools/faultmatrix/faultmatrix.cpp)
  target_compile_options(faultmatrix PRIVATE ${KV_WARN} ${KV_CHARSET})
  target_compile_definitions(faultmatrix PRIVATE KV_LIBRARY_FILE="$<TARGET_FILE:KorvessaDLL>"
                                                KV_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  target_link_libraries(faultmatrix PRIVATE kv_rig)
  add_dependencies(faultmatrix KorvessaDLL posterm bankhost)
endif()
if(WIN32 AND KV_TESTS)
  # The Windows side of the fault matrix and of load/unload (LoadLibrary, BankTrans, FreeLibrary).
  add_executable(kvwin ${CMAKE_SOURCE_DIR}/tools/faultmatrix/kvwin.cpp)
  target_include_directories(kvwin PRIVATE ${CMAKE_SOURCE_DIR}/include)
  target_compile_options(kvwin PRIVATE ${KV_WARN})
endif()
