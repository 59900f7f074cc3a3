# Screen-capture tests run on the simulated display unless a test starts its own
# Xvfb; the clock and the session tests have their own programs: the clock and
# the count of successful duplications are process-wide.
pkg_check_modules(QEL_TEST_CAPTURE_X11 REQUIRED IMPORTED_TARGET x11 xrandr)
qel_test_folder(capture qel_capture PkgConfig::QEL_TEST_CAPTURE_X11)
qel_test_folder(capture_clock qel_capture)
qel_test_folder(capture_session qel_capture)
