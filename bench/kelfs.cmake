# Sequential reading through a kelfs mount against the engine's read path and pread of the
# same layout. A benchmark, not a timed test: only its smoke run is registered.
find_package(CLI11 CONFIG REQUIRED)
add_executable(kelfs_bench ${CMAKE_CURRENT_LIST_DIR}/kelfs_bench.cpp)
target_link_libraries(kelfs_bench PRIVATE kel_testkit CLI11::CLI11)
target_compile_definitions(kelfs_bench PRIVATE KELFS_PROGRAM="$<TARGET_FILE:kelfs>")
add_dependencies(kelfs_bench kelfs)

add_test(NAME kelfs_bench_smoke COMMAND kelfs_bench --quick)
set_tests_properties(kelfs_bench_smoke PROPERTIES TIMEOUT 300 LABELS bench SKIP_RETURN_CODE 77)
