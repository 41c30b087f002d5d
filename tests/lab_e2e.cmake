# End-to-end runs of the update, recovery and device menu in the virtual lab, through the
# real ports (see lab.cmake for talix_add_lab_test).

# Reading the boxes' logs, sampling what windows show, driving the update and recovery windows.
add_library(talix_e2esupport STATIC
    e2e/labbox.h e2e/labbox.cpp
    e2e/labimage.h e2e/labimage.cpp
    e2e/boxlog.h e2e/boxlog.cpp
    e2e/valuesampler.h e2e/valuesampler.cpp
    e2e/updatewindowdriver.h e2e/updatewindowdriver.cpp
    e2e/recoverywindowdriver.h e2e/recoverywindowdriver.cpp
)
target_include_directories(talix_e2esupport PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/e2e)
target_link_libraries(talix_e2esupport PUBLIC talix_testsupport talix_labsupport Qt5::Test
                      Qt5::Widgets)

# Box 1 well-behaved; box 2 fails a camera update at its second stage; box 3 fails a system
# update once a megabyte of the image has arrived.
talix_add_lab_test(lab_update 3 LIBS talix_update talix_e2esupport TIMEOUT 150
    LAB_OPTIONS
        --box-args 2 "--update fail --fail-stage 2 --fail-message 'Camera flash write error'"
        --box-args 3 "--update fail --fail-stage 1 --fail-at-bytes 1048576 --fail-message 'No space left for the image'")

# Box 1 well-behaved, with reports far enough apart for the busy animation to run; box 2 fails
# at the second stage; box 3 sends a report that is not JSON at the second stage.
talix_add_lab_test(lab_recovery 3 LIBS talix_recovery talix_e2esupport TIMEOUT 120
    LAB_OPTIONS
        --box-args 1 "--report-interval 300"
        --box-args 2 "--recovery fail --fail-stage 2 --fail-message 'Default system image damaged'"
        --box-args 3 "--recovery malformed --fail-stage 2 --malformed-payload 'not json'")

# Three well-behaved boxes: search, then the six menu entries, each on a chosen box.
talix_add_lab_test(lab_menu 3 LIBS talix_app talix_e2esupport TIMEOUT 150)
