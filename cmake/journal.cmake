# The transaction journal: between the engine and the log.
kv_room(kv_journal DIRS src/journal DEPS kv_log kv_config kv_platform)
