# Settings store, main window form and controller.
brantolex_add_test(tst_profile tst_profile.cpp)
brantolex_add_test(tst_form tst_form.cpp)
# Real ports on the private JACK server: the window lists, opens and routes
# through them.
brantolex_add_test(tst_mainwindow tst_mainwindow.cpp JACK)
