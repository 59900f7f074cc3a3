# Lists the defined dynamic symbols of LIBRARY with NM (or reads them, one a
# line, from SYMBOLS_FILE) and fails unless the four logger functions are there
# with unmangled (C) names and namespace tool is exported, while no symbol of an
# internal namespace (tool::filesystem_internal, tool::text_internal,
# tool::system_internal, and any later *_internal) is.
if(DEFINED SYMBOLS_FILE)
  file(STRINGS ${SYMBOLS_FILE} names)
else()
  include(${CMAKE_CURRENT_LIST_DIR}/../support/dynamic_symbols.cmake)
  qel_dynamic_symbols(names)
endif()
foreach(logger DebugLog DebugLogW SetLogSeverity SetLogTarget)
  list(FIND names ${logger} at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${logger} is not exported under its unmangled name")
  endif()
endforeach()
# Mangled names of namespace tool begin with _ZN4tool (functions) or carry it
# (classes, vtables); a few of the functions every issue relies on must be there.
foreach(mangled
    _ZN4tool15UTF8FromUnicodeERKNSt7__cxx1112basic_stringIwSt11char_traitsIwESaIwEEE
    _ZN4tool21CreateDirectoryIfNeedERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEEb
    _ZN4tool22AppendingPathComponentERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEES7_S7_)
  list(FIND names ${mangled} at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${mangled} (namespace tool) is not exported")
  endif()
endforeach()
set(count 0)
foreach(name IN LISTS names)
  if(name MATCHES "^_ZN4tool")
    math(EXPR count "${count} + 1")
  endif()
  # A mangled name spells each namespace as its length and its name, so an
  # internal namespace shows as digits, then a name ending in "_internal".
  if(name MATCHES "[0-9][A-Za-z0-9_]*_internal")
    message(FATAL_ERROR "internal symbol exported: ${name}")
  endif()
endforeach()
message(STATUS "${count} symbols of namespace tool exported, loggers unmangled")
