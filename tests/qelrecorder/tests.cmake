# The screen recorder's internals (linked statically) and its real ffmpeg runs.
if(TARGET qelrecorder_static)
  qel_test_folder(qelrecorder qelrecorder_static)
  target_sources(test_qelrecorder PRIVATE ${CMAKE_CURRENT_LIST_DIR}/recorder_test_util.cpp
    ${CMAKE_CURRENT_LIST_DIR}/pulse_server.cpp)
endif()
