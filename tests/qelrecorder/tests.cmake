# The screen recorder's internals (linked statically) and its real ffmpeg runs.
qel_test_folder(qelrecorder qelrecorder qelrecorder_static)
target_sources(test_qelrecorder PRIVATE ${CMAKE_CURRENT_LIST_DIR}/recorder_test_util.cpp
  ${CMAKE_CURRENT_LIST_DIR}/x_typist.cpp)
# qelrecorder/LoopbackCapture: the sound capture, in the same program.
file(GLOB QEL_LOOPBACK_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/LoopbackCapture/*_test.cpp)
target_sources(test_qelrecorder PRIVATE ${QEL_LOOPBACK_TESTS})
# The X server test types its keys through XTEST.
pkg_check_modules(QEL_XTST REQUIRED IMPORTED_TARGET xtst x11)
target_link_libraries(test_qelrecorder PRIVATE PkgConfig::QEL_XTST)
# Recordings checked against the clock (frames in three seconds, the sound's
# length) run in real time, so they get the machine to themselves: a busy
# machine drops frames and says nothing about the recorder.
add_executable(test_qelrecorder_realtime ${CMAKE_CURRENT_LIST_DIR}/screen_recording.cpp
  ${CMAKE_CURRENT_LIST_DIR}/recorder_test_util.cpp)
target_link_libraries(test_qelrecorder_realtime PRIVATE qel_test_support GTest::gtest_main qelrecorder_static)
gtest_discover_tests(test_qelrecorder_realtime DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 300 RUN_SERIAL TRUE)
