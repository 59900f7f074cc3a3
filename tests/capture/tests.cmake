# Screen-capture tests run on the simulated display unless a test starts its own
# Xvfb; the clock test has its own program because the clock is process-wide.
if(TARGET qel_capture)
  qel_test_folder(capture qel_capture)
  qel_test_folder(capture_clock qel_capture)
endif()
