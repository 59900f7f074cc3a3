# The recorder-side parts of platform/core: events, threads, timers, modules,
# OS version and local time.
if(TARGET qelplatform)
  qel_test_folder(platform_sync qelplatform)
endif()
