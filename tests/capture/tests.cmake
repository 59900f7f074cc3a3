# Screen-capture tests (base/, api/video/, modules/desktop_capture/ as in the
# sources) run on the simulated display unless a test starts its own Xvfb; the
# clock and the session tests have their own programs: the clock and the
# count of successful duplications are process-wide.
pkg_check_modules(QEL_TEST_CAPTURE_X11 REQUIRED IMPORTED_TARGET x11 xrandr)
set(QEL_CAPTURE_CLOCK_TEST ${CMAKE_CURRENT_LIST_DIR}/base/clock_test.cpp)
set(QEL_CAPTURE_SESSION_TEST ${CMAKE_CURRENT_LIST_DIR}/modules/desktop_capture/win/session_test.cpp)
file(GLOB_RECURSE QEL_CAPTURE_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*_test.cpp)
list(REMOVE_ITEM QEL_CAPTURE_TESTS ${QEL_CAPTURE_CLOCK_TEST} ${QEL_CAPTURE_SESSION_TEST})
qel_test_program(test_capture SOURCES ${QEL_CAPTURE_TESTS} LIBS qel_capture PkgConfig::QEL_TEST_CAPTURE_X11)
qel_test_program(test_capture_clock SOURCES ${QEL_CAPTURE_CLOCK_TEST} LIBS qel_capture)
qel_test_program(test_capture_session SOURCES ${QEL_CAPTURE_SESSION_TEST} LIBS qel_capture)
