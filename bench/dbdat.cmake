# dbdat list and check as whole processes beside grep over the same package.
add_executable(dbdat_bench ${CMAKE_CURRENT_LIST_DIR}/dbdat_bench.cpp)
target_link_libraries(dbdat_bench PRIVATE velmora_package test_kit)
target_compile_definitions(dbdat_bench PRIVATE DBDAT_PATH="$<TARGET_FILE:dbdat>")
add_dependencies(dbdat_bench dbdat)
