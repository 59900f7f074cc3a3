# The recorder host: its parts linked statically, the built QelRecorder run
# against stand-in recorder libraries, and whole recordings with the real
# libqelrecorder.so.
if(TARGET qel_recorder_host AND TARGET qelrecorder)
  # The X server run paints the screen with its own small Xlib client.
  pkg_check_modules(QEL_HOST_X11 REQUIRED IMPORTED_TARGET x11)
  qel_test_folder(recorder_host qel_recorder_host PkgConfig::QEL_HOST_X11)
  target_sources(test_recorder_host PRIVATE ${CMAKE_CURRENT_LIST_DIR}/host_run.cpp)

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
endif()
