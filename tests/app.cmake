brantolex_add_test(tst_channel tst_channel.cpp)

# A second process for the guard and program tests (see apphelper.cpp).
add_executable(apphelper apphelper.cpp)
target_link_libraries(apphelper PRIVATE brantolex)
brantolex_add_test(tst_guard tst_guard.cpp)
target_compile_definitions(tst_guard PRIVATE APP_HELPER="$<TARGET_FILE:apphelper>")
add_dependencies(tst_guard apphelper)

brantolex_add_test(tst_program tst_program.cpp jackpeers.h jackpeers.cpp recordingsink.h JACK)
target_compile_definitions(tst_program PRIVATE
    BRANTOLEX_EXE="$<TARGET_FILE:brantolex-fixer>"
    APP_HELPER="$<TARGET_FILE:apphelper>")
add_dependencies(tst_program brantolex-fixer apphelper)
