# Configuration readers, code-to-text tables, the log (messages, hex dump, retention, path helpers).
kv_room(kv_foundation DIRS src/log src/config DEPS kv_platform)
