# qel_dynamic_symbols(<out-var>): the defined dynamic symbols of ${LIBRARY}
# as listed by ${NM}, version suffixes ("@@…") removed. Fails the script when
# nm fails. Shared by the export checks of the libraries.
function(qel_dynamic_symbols out_var)
  execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
    OUTPUT_VARIABLE listing RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "nm failed on ${LIBRARY}")
  endif()
  string(REPLACE "\n" ";" lines "${listing}")
  set(names)
  foreach(line IN LISTS lines)
    if(line MATCHES "^[0-9a-fA-F]* *[A-Za-z] (.+)$")
      string(REGEX REPLACE "@.*$" "" name "${CMAKE_MATCH_1}")
      list(APPEND names "${name}")
    endif()
  endforeach()
  set(${out_var} "${names}" PARENT_SCOPE)
endfunction()
