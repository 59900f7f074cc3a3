# The recorder host: its parts linked statically, the built QelRecorder run
# against stand-in recorder libraries, and whole recordings with the real
# libqelrecorder.so.
# The X server run paints the screen with its own small Xlib client.
pkg_check_modules(QEL_HOST_X11 REQUIRED IMPORTED_TARGET x11)
qel_test_folder(recorder_host recorder_host qel_recorder_host)
target_sources(test_recorder_host PRIVATE ${CMAKE_CURRENT_LIST_DIR}/host_run.cpp)

# Whole recordings run in real time (30 frames a second into ffmpeg, the
# sound server's stream), so they get the machine to themselves: a busy
# machine would drop frames and stretch the stop, which says nothing about
# the recorder.
# The playing-program runs ask the sound server through the platform layer
# themselves before they start the recorder.
add_executable(test_recorder_host_recording ${CMAKE_CURRENT_LIST_DIR}/whole_recording.cpp
  ${CMAKE_CURRENT_LIST_DIR}/playing_programs.cpp
  ${CMAKE_CURRENT_LIST_DIR}/host_run.cpp ${CMAKE_CURRENT_LIST_DIR}/screen_painter.cpp)
target_link_libraries(test_recorder_host_recording PRIVATE qel_test_support GTest::gtest_main
  PkgConfig::QEL_HOST_X11 qelplatform)
gtest_discover_tests(test_recorder_host_recording DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 300 RUN_SERIAL TRUE)
add_dependencies(test_recorder_host_recording QelRecorder qelrecorder)

# Stand-ins for the recorder library: complete, without SetHotKey, without
# LaunchRecorder.
foreach(variant full no_hot_key no_launch)
  add_library(fake_qelrecorder_${variant} SHARED ${CMAKE_CURRENT_LIST_DIR}/fake_qelrecorder.cpp)
  target_include_directories(fake_qelrecorder_${variant} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(fake_qelrecorder_${variant} PRIVATE qelplatform qel_common)
  add_dependencies(test_recorder_host fake_qelrecorder_${variant})
endforeach()
target_compile_definitions(fake_qelrecorder_no_hot_key PRIVATE FAKE_WITHOUT_SET_HOT_KEY)
target_compile_definitions(fake_qelrecorder_no_launch PRIVATE FAKE_WITHOUT_LAUNCH_RECORDER)
add_dependencies(test_recorder_host QelRecorder qelrecorder)
# An ffmpeg that hangs: it reads nothing and never ends.
add_executable(stuck_ffmpeg ${CMAKE_CURRENT_LIST_DIR}/stuck_ffmpeg.cpp)
add_dependencies(test_recorder_host stuck_ffmpeg)
