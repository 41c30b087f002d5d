# The simulated box (tools/boxsim) and the end-to-end tests in the virtual lab (scripts/lab.sh).

# Starts talix-boxsim as a child process and reads its event lines; for loopback tests.
add_library(talix_labsupport STATIC lab/boxsimprocess.h lab/boxsimprocess.cpp)
target_include_directories(talix_labsupport PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/lab)
target_link_libraries(talix_labsupport PUBLIC Qt5::Core)
target_compile_definitions(talix_labsupport PRIVATE
                           TALIX_BOXSIM_PATH="$<TARGET_FILE:talix-boxsim>")

talix_add_test(tst_boxsim LIBS talix_labsupport TIMEOUT 120)
add_dependencies(tst_boxsim talix-boxsim)

# End to end in the virtual lab: scripts/lab.sh sets up the namespaces, runs the test inside
# the workstation namespace and tears everything down; without root it reports a skip (77).
function(talix_add_lab_test name boxes)
    cmake_parse_arguments(L "" "TIMEOUT" "LIBS;LAB_OPTIONS" ${ARGN})
    if(NOT L_TIMEOUT)
        set(L_TIMEOUT 180)
    endif()
    add_executable(${name} ${name}.cpp)
    target_link_libraries(${name} PRIVATE talix_testsupport talix_labsupport ${L_LIBS} Qt5::Test)
    add_dependencies(${name} talix-boxsim)
    add_test(NAME ${name}
             COMMAND ${PROJECT_SOURCE_DIR}/scripts/lab.sh test ${boxes}
                     --boxsim $<TARGET_FILE:talix-boxsim> ${L_LAB_OPTIONS}
                     $<TARGET_FILE:${name}>)
    set_tests_properties(${name} PROPERTIES
        SKIP_RETURN_CODE 77
        RUN_SERIAL TRUE
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
        TIMEOUT ${L_TIMEOUT}
        LABELS lab)
endfunction()

# Three well-behaved boxes and a fourth that answers only with broken replies.
talix_add_lab_test(lab_search 4 LIBS talix_app
    LAB_OPTIONS --box-args 4 "--discovery bad-crc,swapped-crc,wrong-length,wrong-head,short,long")

# The lab's own life cycle, and that it leaves the machine's own namespace untouched.
add_test(NAME lab_selftest
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/lab/lab_selftest.sh
                 ${PROJECT_SOURCE_DIR}/scripts/lab.sh $<TARGET_FILE:talix-boxsim>)
set_tests_properties(lab_selftest PROPERTIES
    SKIP_RETURN_CODE 77 RUN_SERIAL TRUE TIMEOUT 120 LABELS lab)
