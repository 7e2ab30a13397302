# Whole-process start-up, second start and quit times: bench/startup.sh, with
# this MIDI peer that triggers a plug-in loading wait.
add_executable(bench_startuppeer startuppeer.cpp)
target_link_libraries(bench_startuppeer PRIVATE PkgConfig::RTMIDI)
