# Runner overhead against the stand-in; needs the tests' stand-in harness.
add_executable(runner_bench ${CMAKE_CURRENT_LIST_DIR}/runner_bench.cpp)
target_link_libraries(runner_bench PRIVATE velmora_package velmora_session velmora_upgrade standin_harness
                                           benchmark::benchmark)
