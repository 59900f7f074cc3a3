# The installed tree: `cmake --install` into a folder of the build, whose
# programs run and whose headers and libraries a small program builds and
# runs against (install_tree_test.cmake says what is checked).
set(QEL_INSTALL_TEST_FLAGS "")
if(QEL_SANITIZE)
  set(QEL_INSTALL_TEST_FLAGS "-fsanitize=address,undefined")
elseif(QEL_SANITIZE_THREAD)
  set(QEL_INSTALL_TEST_FLAGS "-fsanitize=thread")
endif()
include(GNUInstallDirs)
add_test(NAME install_tree
  COMMAND ${CMAKE_COMMAND}
    -DBUILD_DIR=${CMAKE_BINARY_DIR}
    -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
    -DPREFIX=${CMAKE_CURRENT_BINARY_DIR}/install-tree
    -DBINDIR=${CMAKE_INSTALL_BINDIR} -DLIBDIR=${CMAKE_INSTALL_LIBDIR} -DINCLUDEDIR=${CMAKE_INSTALL_INCLUDEDIR}
    -DCXX=${CMAKE_CXX_COMPILER}
    -DCXX_FLAGS=${QEL_INSTALL_TEST_FLAGS}
    -DPROGRAM=${CMAKE_CURRENT_LIST_DIR}/uses_installed_libraries.cpp
    -P ${CMAKE_CURRENT_LIST_DIR}/install_tree_test.cmake)
set_tests_properties(install_tree PROPERTIES TIMEOUT 300)
