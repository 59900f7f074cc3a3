# platform/ui: windows and their messages.
qel_test_folder(platform_ui qelplatform)
