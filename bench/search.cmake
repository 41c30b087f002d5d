# How many of a burst of discovery replies the search lists, and how fast. Prints figures;
# not a ctest test.
add_executable(bench_discovery ${CMAKE_CURRENT_SOURCE_DIR}/bench_discovery.cpp)
target_link_libraries(bench_discovery PRIVATE talix_app talix_testsupport)
