# platform/ui: windows and their messages.
if(TARGET qelplatform)
  qel_test_folder(platform_ui qelplatform)
endif()
