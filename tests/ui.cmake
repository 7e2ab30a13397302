# Settings store, main window form and controller.
brantolex_add_test(tst_profile tst_profile.cpp)
brantolex_add_test(tst_form tst_form.cpp)
# Real ports on each MIDI system: the window lists, opens and routes through
# them.
brantolex_add_test(tst_mainwindow tst_mainwindow.cpp JACK ALSA PIPEWIRE)
# The program's options, from outside (the built program, no display) and
# inside; its window's class against the desktop entry under Xvfb.
brantolex_add_test(tst_commandline tst_commandline.cpp JACK)
target_compile_definitions(tst_commandline PRIVATE
    PACKAGING_DIR="${PROJECT_SOURCE_DIR}/packaging")
add_dependencies(tst_commandline brantolex-fixer)
# The activity lights, the port lists' keys and tips, with no MIDI system.
brantolex_add_test(tst_feedback tst_feedback.cpp recordingsink.h)
