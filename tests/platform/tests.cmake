# Platform stand-in layers (core, display): both backings; the X11 tests start
# their own Xvfb and paint and query it with a small X client of their own.
pkg_check_modules(QEL_TEST_X11 REQUIRED IMPORTED_TARGET x11 xrandr)
qel_test_folder(platform qelplatform PkgConfig::QEL_TEST_X11)
