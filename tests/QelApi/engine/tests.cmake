# libQelApi.so must export exactly the eighteen qelapi_ functions: nothing of
# log4cpp, fmt, the C++ runtime or the engine's own C++ code.
find_program(QEL_NM nm REQUIRED)
add_test(NAME engine.ExportedSymbols
  COMMAND ${CMAKE_COMMAND} -DNM=${QEL_NM} -DLIBRARY=$<TARGET_FILE:QelApi>
          -P ${CMAKE_CURRENT_LIST_DIR}/check_exports.cmake)
# Helpers shared by the engine's test files.
target_sources(test_engine PRIVATE ${CMAKE_CURRENT_LIST_DIR}/engine_test_util.cpp)
# The gated stand-in (built with the daemon's tests) holds a hardware probe
# while the engine is shut down.
add_dependencies(test_engine qel_gated_ffprobe)
