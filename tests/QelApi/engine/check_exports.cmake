# Lists the defined dynamic symbols of LIBRARY with NM and fails unless they are
# exactly the eighteen qelapi_ exports (linker-made markers aside).
set(expected
  qelapi_add_task_operation qelapi_clean_lavfi_cache qelapi_close_process
  qelapi_create_task qelapi_free_str qelapi_get_config qelapi_get_error_string
  qelapi_get_media_file_props qelapi_init qelapi_log qelapi_process_lavfi
  qelapi_remove_task qelapi_set_complete_callback qelapi_set_config
  qelapi_set_error_callback qelapi_set_progress_callback qelapi_start_task
  qelapi_un_init)
include(${CMAKE_CURRENT_LIST_DIR}/../../support/dynamic_symbols.cmake)
qel_dynamic_symbols(names)
set(found)
foreach(name IN LISTS names)
  if(NOT name MATCHES "^(_init|_fini|_edata|_end|__bss_start|_DYNAMIC|_GLOBAL_OFFSET_TABLE_)$")
    list(APPEND found "${name}")
  endif()
endforeach()
list(SORT found)
list(SORT expected)
if(NOT found STREQUAL expected)
  set(extra ${found})
  list(REMOVE_ITEM extra ${expected})
  set(missing ${expected})
  list(REMOVE_ITEM missing ${found})
  message(FATAL_ERROR "exports differ.\nunexpected: ${extra}\nmissing: ${missing}")
endif()
list(LENGTH found count)
message(STATUS "${count} exports, as expected")
