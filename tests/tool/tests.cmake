# The utility library: test_tool uses libtool.so through its exported interface
# only; test_tool_internal links the same objects statically to reach the
# file-system layer and the other internals.
qel_test_folder(tool tool)
# Run by the logger tests under a name of their choosing.
add_executable(tool_log_probe ${CMAKE_CURRENT_LIST_DIR}/log_probe.cpp)
target_link_libraries(tool_log_probe PRIVATE tool)
add_dependencies(test_tool tool_log_probe)
# The window query's tests: a probe that maps windows, and the test's own X
# client that restacks them and frames one as a window manager would.
pkg_check_modules(QEL_TOOL_TEST_X11 REQUIRED IMPORTED_TARGET x11)
add_executable(tool_window_probe ${CMAKE_CURRENT_LIST_DIR}/window_probe.cpp)
target_link_libraries(tool_window_probe PRIVATE PkgConfig::QEL_TOOL_TEST_X11)
target_link_libraries(test_tool PRIVATE PkgConfig::QEL_TOOL_TEST_X11)
add_dependencies(test_tool tool_window_probe)
# Run by the XML tests under valgrind.
add_executable(tool_xml_probe ${CMAKE_CURRENT_LIST_DIR}/xml_probe.cpp)
target_link_libraries(tool_xml_probe PRIVATE tool)
add_dependencies(test_tool tool_xml_probe)

file(GLOB QEL_TOOL_INTERNAL_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/internal/*_test.cpp)
add_executable(test_tool_internal ${QEL_TOOL_INTERNAL_TESTS})
target_link_libraries(test_tool_internal PRIVATE tool_static qel_test_support GTest::gtest_main)
gtest_discover_tests(test_tool_internal DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 300)

# libtool.so exports the four logger functions unmangled and namespace tool.
find_program(QEL_NM nm REQUIRED)
add_test(NAME tool.ExportedSymbols
  COMMAND ${CMAKE_COMMAND} -DNM=${QEL_NM} -DLIBRARY=$<TARGET_FILE:tool>
          -P ${CMAKE_CURRENT_LIST_DIR}/check_exports.cmake)
# The check refuses a symbol of any internal namespace: here a list that is
# right but for one symbol of tool::system_internal.
add_test(NAME tool.ExportedSymbolsRefuseInternalNamespaces
  COMMAND ${CMAKE_COMMAND} -DSYMBOLS_FILE=${CMAKE_CURRENT_LIST_DIR}/exports_with_internal.txt
          -P ${CMAKE_CURRENT_LIST_DIR}/check_exports.cmake)
set_tests_properties(tool.ExportedSymbolsRefuseInternalNamespaces PROPERTIES
  PASS_REGULAR_EXPRESSION "internal symbol exported: _ZN4tool15system_internal")
