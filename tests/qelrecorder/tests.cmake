# The screen recorder's internals (linked statically) and its real ffmpeg runs.
if(TARGET qelrecorder_static)
  qel_test_folder(qelrecorder qelrecorder_static)
  target_sources(test_qelrecorder PRIVATE ${CMAKE_CURRENT_LIST_DIR}/recorder_test_util.cpp
    ${CMAKE_CURRENT_LIST_DIR}/x_typist.cpp)
  # The X server test types its keys through XTEST.
  pkg_check_modules(QEL_XTST REQUIRED IMPORTED_TARGET xtst x11)
  target_link_libraries(test_qelrecorder PRIVATE PkgConfig::QEL_XTST)
endif()
