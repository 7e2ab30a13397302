brantolex_add_test(tst_router tst_router.cpp recordingsink.h)
brantolex_add_test(tst_ports tst_ports.cpp JACK ALSA PIPEWIRE)
brantolex_add_test(tst_realtime tst_realtime.cpp JACK PIPEWIRE)
