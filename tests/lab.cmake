# The simulated box (tools/boxsim) and the end-to-end tests in the virtual lab (scripts/lab.sh).

# Starts talix-boxsim as a child process and reads its event lines; for loopback tests.
add_library(talix_labsupport STATIC lab/boxsimprocess.h lab/boxsimprocess.cpp)
target_include_directories(talix_labsupport PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/lab)
target_link_libraries(talix_labsupport PUBLIC Qt5::Core)
target_compile_definitions(talix_labsupport PRIVATE
                           TALIX_BOXSIM_PATH="$<TARGET_FILE:talix-boxsim>")

talix_add_test(tst_boxsim LIBS talix_labsupport TIMEOUT 120)
add_dependencies(tst_boxsim talix-boxsim)
