brantolex_add_test(tst_channel tst_channel.cpp)
brantolex_add_test(tst_framefuzz tst_framefuzz.cpp)

# A second process for the guard and program tests (see apphelper.cpp).
add_executable(apphelper apphelper.cpp)
target_link_libraries(apphelper PRIVATE brantolex Qt6::Test)
brantolex_add_test(tst_guard tst_guard.cpp)
target_compile_definitions(tst_guard PRIVATE APP_HELPER="$<TARGET_FILE:apphelper>")
add_dependencies(tst_guard apphelper)

brantolex_add_test(tst_program tst_program.cpp JACK ALSA PIPEWIRE)
target_compile_definitions(tst_program PRIVATE APP_HELPER="$<TARGET_FILE:apphelper>")
add_dependencies(tst_program brantolex-fixer apphelper)

# The program under a session manager that the test plays over OSC.
brantolex_add_test(tst_session tst_session.cpp JACK)
add_dependencies(tst_session brantolex-fixer)

# What `cmake --install` puts in place, checked by desktop-file-validate and
# appstreamcli.
find_program(BRANTOLEX_DESKTOP_FILE_VALIDATE desktop-file-validate)
find_program(BRANTOLEX_APPSTREAMCLI appstreamcli)
if(BRANTOLEX_DESKTOP_FILE_VALIDATE AND BRANTOLEX_APPSTREAMCLI)
    add_test(NAME install_tree
             COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check-install.sh ${CMAKE_BINARY_DIR}
                     ${CMAKE_CURRENT_BINARY_DIR}/install-check)
else()
    message(STATUS "desktop-file-validate or appstreamcli missing: install_tree not tested")
endif()

# The Debian package CPack makes, installed into an empty root and started
# there. Not in the sanitizer build: its leak check needs what the root lacks.
find_program(BRANTOLEX_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(BRANTOLEX_DPKG_SHLIBDEPS AND NOT BRANTOLEX_SANITIZE)
    add_test(NAME package_deb
             COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check-deb.sh ${CMAKE_BINARY_DIR}
                     ${CMAKE_CURRENT_BINARY_DIR}/deb-check)
    set_tests_properties(package_deb PROPERTIES TIMEOUT 300)
elseif(NOT BRANTOLEX_SANITIZE)
    message(STATUS "dpkg-shlibdeps missing (dpkg-dev): package_deb not tested")
endif()
