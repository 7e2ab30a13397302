# Settings store, main window form and controller.
brantolex_add_test(tst_profile tst_profile.cpp)
brantolex_add_test(tst_form tst_form.cpp)
