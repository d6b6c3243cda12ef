# Frame codec and transaction identifier; request content builder and receipt writer (pure functions).
kv_room(kv_protocol DIRS src/protocol DEPS kv_foundation)
kv_room(kv_print DIRS src/print DEPS kv_protocol kv_foundation)
