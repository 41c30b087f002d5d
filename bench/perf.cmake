# Figures next to references measured in the same run (scripts/bench.sh runs them all and
# writes docs/performance.md). Not ctest tests.

# MD5 of a 1 GiB image by the update window against md5sum, and the event loop's longest stall.
add_executable(bench_md5 ${CMAKE_CURRENT_SOURCE_DIR}/bench_md5.cpp)
target_link_libraries(bench_md5 PRIVATE talix_update)

# Process start to main window shown, and resident memory at idle, against an empty window.
add_executable(bench_startup ${CMAKE_CURRENT_SOURCE_DIR}/bench_startup.cpp)
target_link_libraries(bench_startup PRIVATE talix_app)

# The reference for bench_discovery: the same bursts into a bare socket, no table.
add_executable(bench_udpburst ${CMAKE_CURRENT_SOURCE_DIR}/bench_udpburst.cpp)
target_link_libraries(bench_udpburst PRIVATE talix_protocol Qt5::Network)
