# Transaction engine (MyComm), exported functions, and the library itself.
kv_room(kv_engine DIRS src/engine DEPS kv_serial kv_relay kv_print kv_journal kv_protocol kv_log kv_config kv_base
        kv_platform)
# The export code as a library for the unit tests (the attach/detach entry is not pulled in:
# tests attach the engine themselves).
kv_room(kv_export DIRS src/export DEPS kv_engine kv_journal kv_log kv_config kv_base kv_platform)
# GetValue("version") answers the project's version.
set_property(SOURCE ${CMAKE_SOURCE_DIR}/src/export/ExportApi.cpp APPEND
             PROPERTY COMPILE_DEFINITIONS KV_VERSION_TEXT="${PROJECT_VERSION}")

# The product: libKorvessaDLL.so / KorvessaDLL.dll with only the four functions visible.
file(GLOB kv_export_srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/export/*.cpp)
add_library(KorvessaDLL SHARED ${kv_export_srcs})
target_include_directories(KorvessaDLL PRIVATE ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR}/src)
target_compile_options(KorvessaDLL PRIVATE ${KV_WARN} ${KV_CHARSET})
target_link_libraries(KorvessaDLL PRIVATE kv_engine)
set_target_properties(KorvessaDLL PROPERTIES OUTPUT_NAME KorvessaDLL)
if(WIN32)
  # Plain names with fixed ordinals from the .def file (the 32-bit stdcall decorations stay
  # internal; the 64-bit build, used to run the tests under wine64, has none).
  set_target_properties(KorvessaDLL PROPERTIES PREFIX "" IMPORT_PREFIX "")
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    target_sources(KorvessaDLL PRIVATE ${CMAKE_SOURCE_DIR}/src/export/KorvessaDLL.def)
  else()
    target_sources(KorvessaDLL PRIVATE ${CMAKE_SOURCE_DIR}/src/export/KorvessaDLL64.def)
  endif()
else()
  target_link_options(KorvessaDLL PRIVATE -Wl,--version-script=${CMAKE_SOURCE_DIR}/src/export/exports.map
                      -Wl,--exclude-libs,ALL -Wl,--no-undefined)
  set_target_properties(KorvessaDLL PROPERTIES LINK_DEPENDS ${CMAKE_SOURCE_DIR}/src/export/exports.map)
endif()
