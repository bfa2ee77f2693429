# Package decoding against a memchr scan and the rest-copying reading; the
# statement builder's throughput.
add_executable(package_bench ${CMAKE_CURRENT_LIST_DIR}/package_bench.cpp)
target_link_libraries(package_bench PRIVATE velmora_package benchmark::benchmark)
