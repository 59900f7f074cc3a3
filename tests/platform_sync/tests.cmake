# The recorder-side parts of platform/core: events, threads, timers, modules,
# OS version and local time.
qel_test_folder(platform_sync qelplatform)
