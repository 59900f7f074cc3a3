# Installs the build BUILD_DIR into PREFIX (cmake -P script, run by ctest) and
# checks the tree:
#  - the libraries, programs, ffmpeg links, skins and public headers are there,
#    and no internal header (first line "// Internal:") is;
#  - every installed header compiles on its own against the installed ones;
#  - every run path is relative to $ORIGIN, none names the build or the sources;
#  - PROGRAM, compiled against the installed headers, links the installed
#    libtool.so and libQelApi.so and runs;
#  - the installed QelDaemon and QelRecorder start (their libraries found
#    through their run paths, the recorder through the link beside its host).
# Nothing comes from LD_LIBRARY_PATH: the runs unset it.
foreach(variable BUILD_DIR SOURCE_DIR PREFIX BINDIR LIBDIR INCLUDEDIR CXX PROGRAM)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "${variable} is not set")
  endif()
endforeach()
separate_arguments(flags UNIX_COMMAND "${CXX_FLAGS}")

function(fail)
  string(JOIN "" text ${ARGN})
  message(FATAL_ERROR "${text}")
endfunction()

file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  fail("cmake --install failed:\n${output}")
endif()

set(expected
  ${BINDIR}/QelDaemon ${BINDIR}/QelRecorder ${BINDIR}/ffmpeg ${BINDIR}/ffprobe ${BINDIR}/libqelrecorder.so
  ${BINDIR}/skins/default/dlg_recorder.xml ${BINDIR}/skins/default/recorder_region_wnd.xml
  ${LIBDIR}/libQelApi.so ${LIBDIR}/libtool.so ${LIBDIR}/libqelrecorder.so ${LIBDIR}/libqelplatform.so
  ${INCLUDEDIR}/qelapi.h ${INCLUDEDIR}/qelrecorder/qelrecorder.h ${INCLUDEDIR}/platform/ui/window.h
  ${INCLUDEDIR}/platform/core/window_id.h)
# Every header of tool/ but the internal ones.
file(GLOB tool_headers ${SOURCE_DIR}/tool/*.h)
foreach(header ${tool_headers})
  file(STRINGS ${header} first_line LIMIT_COUNT 1)
  get_filename_component(name ${header} NAME)
  if(NOT first_line MATCHES "^// Internal:")
    list(APPEND expected ${INCLUDEDIR}/tool/${name})
  endif()
endforeach()
foreach(file ${expected})
  if(NOT EXISTS ${PREFIX}/${file})
    list(APPEND missing ${file})
  endif()
endforeach()
if(missing)
  fail("not installed: ${missing}")
endif()
file(GLOB_RECURSE installed_headers RELATIVE ${PREFIX}/${INCLUDEDIR} ${PREFIX}/${INCLUDEDIR}/*.h)
foreach(header ${installed_headers})
  file(STRINGS ${PREFIX}/${INCLUDEDIR}/${header} first_line LIMIT_COUNT 1)
  if(first_line MATCHES "^// Internal:")
    list(APPEND internal_installed ${header})
  endif()
endforeach()
if(internal_installed)
  fail("internal headers installed: ${internal_installed}")
endif()

# Each header on its own, against the installed include folder only.
set(work ${PREFIX}/check)
file(MAKE_DIRECTORY ${work})
set(units "")
foreach(header ${installed_headers})
  string(MAKE_C_IDENTIFIER ${header} unit)
  file(WRITE ${work}/${unit}.cpp "#include \"${header}\"\n")
  list(APPEND units ${work}/${unit}.cpp)
endforeach()
execute_process(COMMAND ${CXX} -std=c++20 -fsyntax-only -I${PREFIX}/${INCLUDEDIR} ${units}
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  fail("an installed header does not compile on its own:\n${output}")
endif()

# Run paths.
file(GLOB libraries RELATIVE ${PREFIX} ${PREFIX}/${LIBDIR}/*.so)
foreach(binary ${BINDIR}/QelDaemon ${BINDIR}/QelRecorder ${libraries})
  file(READ_ELF ${PREFIX}/${binary} RUNPATH runpath RPATH rpath CAPTURE_ERROR error)
  if(error)
    fail("${binary}: ${error}")
  endif()
  foreach(entry ${runpath} ${rpath})
    string(FIND "${entry}" "${BUILD_DIR}" in_build)
    string(FIND "${entry}" "${SOURCE_DIR}" in_sources)
    if(NOT entry MATCHES "^\\$ORIGIN(/|$)" OR NOT in_build EQUAL -1 OR NOT in_sources EQUAL -1)
      fail("${binary} has the run path ${runpath}${rpath}: not relative to $ORIGIN")
    endif()
  endforeach()
endforeach()

# A user's program.
execute_process(COMMAND ${CXX} -std=c++20 ${flags} -I${PREFIX}/${INCLUDEDIR} ${PROGRAM} -o ${work}/uses_installed_libraries
    -L${PREFIX}/${LIBDIR} -ltool -lQelApi -Wl,-rpath,${PREFIX}/${LIBDIR}
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  fail("the program does not build against the installed tree:\n${output}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${work}/uses_installed_libraries
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0 OR NOT output STREQUAL "UWVs /opt/qel/bin repeated task id\n")
  fail("the program against the installed tree: exit ${result}:\n${output}")
endif()

# The installed programs start: the daemon as far as its flag check, the
# recorder's host with its dialog (simulated display), closed at once.
# Its folders are made before the flags are read: keep them in the test's own.
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH --unset=appdata XDG_DATA_HOME=${work}/data
    ${PREFIX}/${BINDIR}/QelDaemon --port=999
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 255 OR NOT output MATCHES "The port number must be greater than 1000")
  fail("installed QelDaemon: exit ${result}:\n${output}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH --unset=DISPLAY QEL_BACKING=sim
    "QEL_SCRIPT=300 click IDC_BTN_CLOSE_WINDOW" ${PREFIX}/${BINDIR}/QelRecorder -r 30 -outputpath ${work}
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 1 OR NOT output MATCHES "Cancel screen recording\\.")
  fail("installed QelRecorder: exit ${result}:\n${output}")
endif()
file(REMOVE_RECURSE ${PREFIX})
