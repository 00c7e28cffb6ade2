# Usage: cmake -DLIBRARY=path/libVTerminal.so -P check_exports.cmake
# Fails unless the library exports exactly the expected names (sanitizer runtime names,
# which start with "__", aside), nsignals is a 4-byte initialised data symbol, and the
# library needs no other library of the project.
set(expected
  Java_vek_sys_lib_VTerminal_getColCount
  Java_vek_sys_lib_VTerminal_getInput
  Java_vek_sys_lib_VTerminal_getInterrupt
  Java_vek_sys_lib_VTerminal_getRowCount
  Java_vek_sys_lib_VTerminal_print
  Java_vek_sys_lib_VTerminal_setInterrupt
  ctrl_C
  m_get_input
  m_window_columns_
  m_window_rows_
  nsignals)

execute_process(COMMAND nm -D --defined-only -S ${LIBRARY}
  OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${symbols}")
set(exported)
foreach(line ${lines})
  if(line MATCHES "^[0-9a-f]+ ([0-9a-f]+ )?([A-Za-z]) (.+)$")
    set(size "${CMAKE_MATCH_1}")
    set(kind "${CMAKE_MATCH_2}")
    set(name "${CMAKE_MATCH_3}")
    if(NOT name MATCHES "^__" AND NOT name MATCHES "^_(init|fini|edata|end)$"
       AND NOT name STREQUAL "_end" AND NOT name STREQUAL "__bss_start")
      list(APPEND exported ${name})
    endif()
    if(name STREQUAL "nsignals")
      if(NOT kind STREQUAL "D" OR NOT size STREQUAL "0000000000000004 ")
        message(FATAL_ERROR "nsignals is not a 4-byte initialised data symbol: ${line}")
      endif()
    endif()
  endif()
endforeach()
list(SORT exported)
if(NOT exported STREQUAL expected)
  message(FATAL_ERROR "exported: ${exported}\nexpected: ${expected}")
endif()

execute_process(COMMAND readelf -d ${LIBRARY} OUTPUT_VARIABLE dynamic)
if(dynamic MATCHES "KelResource")
  message(FATAL_ERROR "libVTerminal must not depend on another library of the project")
endif()
message(STATUS "exports of ${LIBRARY}: ${exported}")
