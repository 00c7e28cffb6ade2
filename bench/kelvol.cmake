# kelvol's export to /dev/null and import from a tmpfs file against the engine's own read
# and write in the same run. A benchmark, not a timed test: only its smoke run is registered.
add_executable(kelvol_bench ${CMAKE_CURRENT_LIST_DIR}/kelvol_bench.cpp)
target_link_libraries(kelvol_bench PRIVATE kelvol_core kel_testkit)

add_test(NAME kelvol_bench_smoke COMMAND kelvol_bench --quick)
set_tests_properties(kelvol_bench_smoke PROPERTIES TIMEOUT 300 LABELS bench)
