# korvessa (command-line cash register), posterm (simulated terminal and bank host), end-to-end tests.

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

  if(KV_TESTS)
    # The tools on their own, without the library: the terminal codec and behaviour, korvessa helpers.
    file(GLOB tools_test_srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/integration/e2e/tools/*.cpp)
    if(tools_test_srcs)
      add_executable(test_tools ${tools_test_srcs})
      target_compile_options(test_tools PRIVATE ${KV_WARN})
      target_link_libraries(test_tools PRIVATE posterm_core korvessa_core GTest::gtest GTest::gtest_main)
      add_test(NAME test_tools COMMAND test_tools)
    endif()

    # End to end: the built library, copied into a fresh directory with its Config.ini, against posterm
    # on a pseudo-terminal. Texts are compared as GBK, like the library writes them.
    file(GLOB e2e_srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/integration/e2e/*.cpp)
    if(e2e_srcs AND TARGET KorvessaDLL)
      add_executable(test_e2e ${e2e_srcs})
      target_include_directories(test_e2e PRIVATE ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR}/tests/common)
      target_compile_options(test_e2e PRIVATE ${KV_WARN} ${KV_CHARSET})
      target_link_libraries(test_e2e PRIVATE posterm_core korvessa_core GTest::gtest GTest::gtest_main ${CMAKE_DL_LIBS})
      target_compile_definitions(test_e2e PRIVATE KV_LIBRARY_FILE="$<TARGET_FILE:KorvessaDLL>"
                                                  KV_POSTERM_FILE="$<TARGET_FILE:posterm>"
                                                  KV_KORVESSA_FILE="$<TARGET_FILE:korvessa>"
                                                  KV_VERSION_FILE="${CMAKE_BINARY_DIR}/VERSION")
      add_dependencies(test_e2e KorvessaDLL posterm korvessa)
      # The preload that records journal syncs and terminal writes in order (not under a sanitizer,
      # whose own interceptors come first).
      if(KV_SANITIZE STREQUAL "")
        add_library(kv_sync_order MODULE ${CMAKE_SOURCE_DIR}/tests/integration/e2e/shim/sync_order.c)
        target_link_libraries(kv_sync_order PRIVATE ${CMAKE_DL_LIBS})
        target_compile_definitions(test_e2e PRIVATE KV_SYNC_ORDER_FILE="$<TARGET_FILE:kv_sync_order>")
        add_dependencies(test_e2e kv_sync_order)
      endif()
      add_test(NAME test_e2e COMMAND test_e2e)
      # A terminal on the network: posterm behind a socat TCP link, the register on a socat pseudo-terminal.
      add_test(NAME socat_terminal COMMAND bash ${CMAKE_SOURCE_DIR}/tests/integration/e2e/socat-terminal.sh
                                           ${CMAKE_BINARY_DIR})
    endif()
  endif()
endif()

# Benchmark of the relay's stops (figures in BENCHMARKS.md); not a test.
if(NOT WIN32 AND TARGET KorvessaDLL)
  add_executable(relay_stop_bench EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/bench/relay_stop_bench.cpp)
  target_include_directories(relay_stop_bench PRIVATE ${CMAKE_SOURCE_DIR}/include)
  target_compile_options(relay_stop_bench PRIVATE ${KV_WARN})
  target_link_libraries(relay_stop_bench PRIVATE posterm_core ${CMAKE_DL_LIBS})
  add_dependencies(relay_stop_bench KorvessaDLL)
endif()

# The fault matrix, soak and load/unload driver (a tool: table-driven, run by make test-matrix/test-soak).
if(NOT WIN32 AND KV_TESTS AND TARGET KorvessaDLL)
  add_library(kv_rig STATIC ${CMAKE_SOURCE_DIR}/tools/faultmatrix/Rig.cpp
                            ${CMAKE_SOURCE_DIR}/tests/integration/e2e/e2e_harness.cpp)
  target_include_directories(kv_rig PUBLIC ${CMAKE_SOURCE_DIR}/tools/faultmatrix ${CMAKE_SOURCE_DIR}/include
                                           ${CMAKE_SOURCE_DIR}/tests/integration/e2e)
  target_compile_options(kv_rig PRIVATE ${KV_WARN} ${KV_CHARSET})
  target_compile_definitions(kv_rig PRIVATE KV_LIBRARY_FILE="$<TARGET_FILE:KorvessaDLL>")
  target_link_libraries(kv_rig PUBLIC posterm_core GTest::gtest ${CMAKE_DL_LIBS})
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
