# Host relay: TCP connection, relay thread, transmit data header, Winsock error texts.
kv_room(kv_relay DIRS src/relay DEPS kv_protocol kv_foundation kv_platform_net)
