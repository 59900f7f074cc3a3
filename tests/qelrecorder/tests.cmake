# The screen recorder's internals (linked statically) and its real ffmpeg runs.
if(TARGET qelrecorder_static)
  qel_test_folder(qelrecorder qelrecorder_static)
endif()
