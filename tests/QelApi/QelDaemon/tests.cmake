# The daemon tests also start the built QelDaemon program (flag checks, the
# default port, the exit rule of a whole run), so it must be built first.
add_dependencies(test_daemon QelDaemon)
# An ffprobe stand-in that waits until the test lets it answer (slow requests).
add_executable(qel_gated_ffprobe ${CMAKE_CURRENT_LIST_DIR}/helpers/gated_ffprobe.cpp)
add_dependencies(test_daemon qel_gated_ffprobe)
# The test client's Beast code, shared by the daemon's test files.
target_sources(test_daemon PRIVATE ${CMAKE_CURRENT_LIST_DIR}/test_client.cpp)
# A recording whose ffmpeg runs from the daemon's folder (the start-up sweep
# must leave it alone) needs the recorder host and its library.
add_dependencies(test_daemon QelRecorder qelrecorder)
# A client in a child process of another user (tests of who is served).
target_sources(test_daemon PRIVATE ${CMAKE_CURRENT_LIST_DIR}/foreign_user.cpp)
