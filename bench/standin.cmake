# Batches per second through the stand-in on one loopback ODBC connection.
pkg_check_modules(STANDIN_BENCH_ODBC REQUIRED IMPORTED_TARGET odbc)
add_executable(standin_bench ${CMAKE_CURRENT_LIST_DIR}/standin_bench.cpp)
target_include_directories(standin_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/standin)
target_link_libraries(standin_bench PRIVATE standin_harness velmora_common benchmark::benchmark
                      PkgConfig::STANDIN_BENCH_ODBC)
