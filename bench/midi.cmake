if(benchmark_FOUND)
    add_executable(bench_filter bench_filter.cpp)
    target_link_libraries(bench_filter PRIVATE brantolex benchmark::benchmark)
endif()
