# The update window's image stream: achieved rate against its pacing, and peak memory while a
# box reads slowly. Prints figures; not a ctest test.
add_executable(bench_stream ${CMAKE_CURRENT_SOURCE_DIR}/bench_stream.cpp)
target_link_libraries(bench_stream PRIVATE talix_update)
