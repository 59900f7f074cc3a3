# Platform stand-in layers (core, display): both backings; the X11 tests start
# their own Xvfb.
if(TARGET qelplatform)
  qel_test_folder(platform qelplatform)
endif()
