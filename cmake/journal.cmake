# The transaction journal: between the engine and the log.
kv_room(kv_journal DIRS src/journal DEPS kv_log kv_config kv_platform)
kv_unit_test(test_journal unit/journal kv_journal)
