brantolex_add_test(tst_router tst_router.cpp recordingsink.h)
brantolex_add_test(tst_ports tst_ports.cpp JACK ALSA PIPEWIRE)
brantolex_add_test(tst_realtime tst_realtime.cpp JACK PIPEWIRE)
# Its cycle trap replaces the allocator and the mutex lock for the process.
set_target_properties(tst_realtime PROPERTIES ENABLE_EXPORTS ON)
target_link_libraries(tst_realtime PRIVATE ${CMAKE_DL_LIBS})
