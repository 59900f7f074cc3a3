# The utility library: test_tool uses libtool.so through its exported interface
# only; test_tool_internal links the same objects statically to reach the
# file-system layer and the other internals.
qel_test_folder(tool tool tool)
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

# A libFuzzer target for XmlDocument::Parse, built only with -DQEL_FUZZ=ON and
# clang; scripts/fuzz-xml builds and runs it. With QEL_FUZZ_TINYXML_SOURCE
# naming a folder of TinyXML's sources, TinyXML is compiled into the target so
# that AddressSanitizer sees its reads too.
if(QEL_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "QEL_FUZZ needs clang, whose libFuzzer drives the target")
  endif()
  file(GLOB QEL_FUZZ_TOOL_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tool/*.cpp)
  add_executable(fuzz_xml_parse ${CMAKE_CURRENT_LIST_DIR}/fuzz/xml_parse_fuzz.cpp ${QEL_FUZZ_TOOL_SOURCES})
  target_include_directories(fuzz_xml_parse PRIVATE ${PROJECT_SOURCE_DIR})
  # clang's -Wconversion also warns about sign changes, which g++ (the
  # project's compiler) leaves out.
  target_compile_options(fuzz_xml_parse PRIVATE -fsanitize=fuzzer,address -fno-omit-frame-pointer
                         -Wno-sign-conversion)
  target_link_options(fuzz_xml_parse PRIVATE -fsanitize=fuzzer,address)
  target_link_libraries(fuzz_xml_parse PRIVATE Threads::Threads ${CMAKE_DL_LIBS})
  if(QEL_FUZZ_TINYXML_SOURCE)
    set(tinyxml_sources)
    foreach(name tinyxml.cpp tinyxmlparser.cpp tinyxmlerror.cpp tinystr.cpp)
      list(APPEND tinyxml_sources ${QEL_FUZZ_TINYXML_SOURCE}/${name})
    endforeach()
    # TinyXML's own code, as it is: its warnings are not ours.
    set_source_files_properties(${tinyxml_sources} PROPERTIES COMPILE_OPTIONS "-w")
    target_sources(fuzz_xml_parse PRIVATE ${tinyxml_sources})
    target_include_directories(fuzz_xml_parse BEFORE PRIVATE ${QEL_FUZZ_TINYXML_SOURCE})
    target_compile_definitions(fuzz_xml_parse PRIVATE TIXML_USE_STL)
  else()
    target_link_libraries(fuzz_xml_parse PRIVATE tinyxml)
  endif()
endif()
