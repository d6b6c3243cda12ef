# Frame codec and transaction identifier; request content builder and receipt writer (pure functions).
kv_room(kv_protocol DIRS src/protocol DEPS kv_log kv_config kv_platform)
kv_room(kv_print DIRS src/print DEPS kv_log kv_config kv_platform)
