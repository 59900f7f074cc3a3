# Platform stand-in layers, one folder per layer as in the sources.
#
# test_platform: core's backings, clock and faults, the display layer and the
# apps layer, on both backings; the X11 tests start their own Xvfb and paint
# and query it with a small X client of their own; the sound-server tests
# start their own PulseAudio and play into it.
pkg_check_modules(QEL_TEST_X11 REQUIRED IMPORTED_TARGET x11 xrandr)
pkg_check_modules(QEL_TEST_PULSE REQUIRED IMPORTED_TARGET libpulse)
set(QEL_PLATFORM_CORE_TEST ${CMAKE_CURRENT_LIST_DIR}/core/core_test.cpp)
file(GLOB QEL_PLATFORM_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/display/*_test.cpp
     ${CMAKE_CURRENT_LIST_DIR}/apps/*_test.cpp)
qel_test_program(test_platform SOURCES ${QEL_PLATFORM_CORE_TEST} ${QEL_PLATFORM_TESTS}
  LIBS qelplatform PkgConfig::QEL_TEST_X11 PkgConfig::QEL_TEST_PULSE)

# test_platform_sync: the recorder-side parts of platform/core: events,
# threads, timers, modules, OS version and local time.
file(GLOB QEL_PLATFORM_SYNC_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/core/*_test.cpp)
list(REMOVE_ITEM QEL_PLATFORM_SYNC_TESTS ${QEL_PLATFORM_CORE_TEST})
qel_test_program(test_platform_sync SOURCES ${QEL_PLATFORM_SYNC_TESTS} LIBS qelplatform)

# test_platform_ui: platform/ui: windows and their messages.
qel_test_folder(platform_ui platform/ui qelplatform)
# platform/script: the run script, through the dialogs of the window layer.
target_sources(test_platform_ui PRIVATE ${CMAKE_CURRENT_LIST_DIR}/script/run_script_test.cpp)
