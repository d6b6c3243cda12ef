# Checks on the built products themselves (labelled "static": they run no Windows program).
if(KV_TESTS AND TARGET KorvessaDLL)
  if(WIN32)
    if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
      add_test(NAME dll_exports COMMAND bash ${CMAKE_SOURCE_DIR}/tests/windows/check-exports.sh $<TARGET_FILE:KorvessaDLL>)
      set_tests_properties(dll_exports PROPERTIES LABELS static)
    endif()
  else()
    add_test(NAME so_exports COMMAND bash ${CMAKE_SOURCE_DIR}/tests/windows/check-linux-symbols.sh $<TARGET_FILE:KorvessaDLL>)
  endif()
endif()

# Windows end to end under Wine: korvessa.exe and KorvessaDLL.dll of this build against the Linux
# posterm and bankhost (built in build/linux).
if(KV_TESTS AND WIN32 AND TARGET korvessa)
  set(KV_LINUX_TOOLS ${CMAKE_SOURCE_DIR}/build/linux CACHE PATH "Folder with the Linux posterm and bankhost")
  add_test(NAME wine_e2e COMMAND bash ${CMAKE_SOURCE_DIR}/tests/windows/e2e-wine.sh ${CMAKE_BINARY_DIR}
           ${KV_LINUX_TOOLS}/posterm ${KV_LINUX_TOOLS}/bankhost)
  set_tests_properties(wine_e2e PROPERTIES RUN_SERIAL TRUE)
endif()

# The include edges between the rooms of src/ (scripts/check-layers.sh holds the table), and the
# check's own proof that an upward include fails.
if(KV_TESTS AND NOT WIN32)
  add_test(NAME check_layers COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/check-layers.sh ${CMAKE_SOURCE_DIR})
  add_test(NAME check_layers_self_test COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/check-layers.sh --self-test)
  set_tests_properties(check_layers check_layers_self_test PROPERTIES LABELS static)
endif()
