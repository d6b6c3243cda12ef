# The three rooms under the protocol, one library each so the link follows the arrows:
# base (paths, dates, card masking), config (Config.ini readers, code-to-text tables),
# log (messages, hex dump, retention; reads its threshold from the configuration).
kv_room(kv_base DIRS src/base DEPS kv_platform)
kv_room(kv_config DIRS src/config DEPS kv_base kv_platform)
kv_room(kv_log DIRS src/log DEPS kv_config kv_base)
# The three together, for the tests and fuzz targets that use all of them.
add_library(kv_foundation INTERFACE)
target_link_libraries(kv_foundation INTERFACE kv_log kv_config kv_base)
