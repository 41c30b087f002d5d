# Foundation: wire protocol, MQTT adapter, worker objects and local wait, main window.

# An MQTT peer written on a bare TCP socket, for checking the client against a second implementation.
target_sources(talix_testsupport PRIVATE support/rawmqttpeer.h support/rawmqttpeer.cpp)

talix_add_test(tst_protocol LIBS talix_protocol TIMEOUT 60)
talix_add_test(tst_mqttclient LIBS talix_protocol talix_workers TIMEOUT 120)
talix_add_test(tst_workers LIBS talix_workers TIMEOUT 60)
talix_add_test(tst_mainwindow LIBS talix_app TIMEOUT 60)
# The window icon is read relative to the working directory; the test brings its own copy.
target_compile_definitions(tst_mainwindow PRIVATE
    TALIX_ICON_FILE="${PROJECT_SOURCE_DIR}/resources/Toolkit.ico")
