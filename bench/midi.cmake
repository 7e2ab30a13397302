if(benchmark_FOUND)
    add_executable(bench_filter bench_filter.cpp)
    target_link_libraries(bench_filter PRIVATE brantolex benchmark::benchmark)
endif()

add_executable(bench_passthrough passthrough.cpp)
target_link_libraries(bench_passthrough PRIVATE PkgConfig::RTMIDI)
add_executable(bench_routerhost routerhost.cpp)
target_link_libraries(bench_routerhost PRIVATE brantolex)
