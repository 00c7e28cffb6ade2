# Allocation time of tio_write_det against the number of extents already recorded in the
# header directory. A benchmark, not a timed test: only its smoke run is registered.
add_executable(alloc_bench ${CMAKE_CURRENT_LIST_DIR}/alloc_bench.cpp)
target_link_libraries(alloc_bench PRIVATE kel_testkit)

add_test(NAME alloc_bench_smoke COMMAND alloc_bench --quick)
set_tests_properties(alloc_bench_smoke PROPERTIES TIMEOUT 300 LABELS bench)
