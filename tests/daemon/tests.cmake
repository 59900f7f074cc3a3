# The daemon tests also start the built QelDaemon program (flag checks, the
# default port, the exit rule of a whole run), so it must be built first.
if(TARGET test_daemon AND TARGET QelDaemon)
  add_dependencies(test_daemon QelDaemon)
endif()
