# Platform stand-in layers (core, display, apps): both backings; the X11 tests
# start their own Xvfb and paint and query it with a small X client of their
# own; the sound-server tests start their own PulseAudio and play into it.
pkg_check_modules(QEL_TEST_X11 REQUIRED IMPORTED_TARGET x11 xrandr)
pkg_check_modules(QEL_TEST_PULSE REQUIRED IMPORTED_TARGET libpulse)
qel_test_folder(platform qelplatform PkgConfig::QEL_TEST_X11 PkgConfig::QEL_TEST_PULSE)
