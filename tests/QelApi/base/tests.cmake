# The base layer's tests join the engine's program, which sets up the log they check.
target_sources(test_engine PRIVATE ${CMAKE_CURRENT_LIST_DIR}/text_helpers_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/log_test.cpp)
