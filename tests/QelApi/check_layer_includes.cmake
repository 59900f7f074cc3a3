# Fails when a file of QelApi/ includes against the direction of its layers
#   engine -> operations -> commands -> base,   QelDaemon -> qelapi.h only
# in a spelling that the per-layer include folders cannot block: a quoted
# include first looks in the including file's own folder, so "../engine/x.h"
# (or "commands/../engine/x.h", through the link) compiles from commands/ even
# though no include folder of commands reaches engine/. The folder-name rules
# repeat what the build enforces, so that a wrong include is named here with
# its file and line. Run as `cmake -DSOURCE_DIR=<root> -P <this file>`.
if(NOT SOURCE_DIR)
  message(FATAL_ERROR "SOURCE_DIR is not set")
endif()

# Spellings that no file of QelApi/ may use: a parent folder anywhere in the
# path, an absolute path, or the tree's own root folder.
set(everywhere "\\.\\./|^/|^QelApi/")
# What each folder may not name, by the first folder of the include path.
set(forbidden_base       "^(commands|operations|engine|QelDaemon)/")
set(forbidden_commands   "^(operations|engine|QelDaemon)/")
set(forbidden_operations "^(engine|QelDaemon)/")
set(forbidden_engine     "^QelDaemon/")
# The daemon uses the library through its public header alone.
set(forbidden_QelDaemon  "^(base|commands|operations|engine)/")

set(faults "")
foreach(folder base commands operations engine QelDaemon)
  file(GLOB_RECURSE files ${SOURCE_DIR}/QelApi/${folder}/*.h ${SOURCE_DIR}/QelApi/${folder}/*.cpp)
  foreach(file IN LISTS files)
    # One list item per line: the characters that a CMake list treats
    # specially (; [ ] \) are blanked first, so the line numbers hold.
    file(READ ${file} text)
    string(REGEX REPLACE "[][;\\]" " " text "${text}")
    string(REPLACE "\n" ";" lines "${text}")
    set(number 0)
    foreach(line IN LISTS lines)
      math(EXPR number "${number} + 1")
      if(NOT line MATCHES "^[ \t]*#[ \t]*include[ \t]*[<\"]([^>\"]*)[>\"]")
        continue()
      endif()
      set(path "${CMAKE_MATCH_1}")
      if(path MATCHES "${everywhere}" OR path MATCHES "${forbidden_${folder}}")
        file(RELATIVE_PATH name ${SOURCE_DIR} ${file})
        string(APPEND faults "\n  ${name}:${number}: ${line}")
      endif()
    endforeach()
  endforeach()
endforeach()

if(faults)
  message(FATAL_ERROR "includes against the layer direction "
    "(engine -> operations -> commands -> base; QelDaemon sees qelapi.h only):${faults}")
endif()
message(STATUS "QelApi/ includes follow the layer direction")
