brantolex_add_test(tst_router tst_router.cpp recordingsink.h)
