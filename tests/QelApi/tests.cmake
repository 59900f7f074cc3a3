# The layers of QelApi/ include only downwards, in every spelling (the build's
# include folders block the plain ones; this check the rest).
add_test(NAME QelApi.LayerIncludes
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
          -P ${CMAKE_CURRENT_LIST_DIR}/check_layer_includes.cmake)
