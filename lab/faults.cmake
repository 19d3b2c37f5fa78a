# SPDX-License-Identifier: MIT
# The planted faults, for the lab's build and the model's tests: FAULTS, their names, one for
# each patch lab/faults/NAME.patch; VARIANTS; and, from lab/faults.json, the one table of
# them, for each NAME: FAULT_NAME_RUN and FAULT_NAME_REPORTS (the model's check and what SPIN
# must report), FAULT_NAME_TOOL and FAULT_NAME_SAYS (what breaks the real program, and what
# it must say), and FAULT_NAME_MEMORY (true where its loads and stores are to be steps).
# Reading the table needs string(JSON), which came with CMake 3.19:
# FAULTS_TABLE says whether it was read.
file(GLOB patches RELATIVE ${CMAKE_CURRENT_LIST_DIR}/faults ${CMAKE_CURRENT_LIST_DIR}/faults/*.patch)
list(TRANSFORM patches REPLACE "\\.patch$" "" OUTPUT_VARIABLE FAULTS)
list(SORT FAULTS)
set(VARIANTS "")
set(FAULTS_TABLE FALSE)
if(CMAKE_VERSION VERSION_LESS 3.19)
  return()
endif()
file(READ ${CMAKE_CURRENT_LIST_DIR}/faults.json faults_json)
set(tabled "")
foreach(kind faults variants)
  string(JSON count LENGTH "${faults_json}" ${kind})
  math(EXPR last "${count} - 1")
  foreach(i RANGE ${last})
    string(JSON name GET "${faults_json}" ${kind} ${i} name)
    string(JSON FAULT_${name}_RUN GET "${faults_json}" ${kind} ${i} model run)
    string(JSON FAULT_${name}_REPORTS GET "${faults_json}" ${kind} ${i} model reports)
    if(kind STREQUAL "faults")
      list(APPEND tabled ${name})
      string(JSON FAULT_${name}_TOOL GET "${faults_json}" ${kind} ${i} real tool)
      string(JSON FAULT_${name}_SAYS GET "${faults_json}" ${kind} ${i} real says)
      string(JSON FAULT_${name}_MEMORY ERROR_VARIABLE none GET "${faults_json}" ${kind} ${i}
        real memory)
    else()
      list(APPEND VARIANTS ${name})
    endif()
  endforeach()
endforeach()
list(SORT tabled)
if(NOT tabled STREQUAL FAULTS)
  message(FATAL_ERROR "lab/faults.json lists the faults ${tabled}; lab/faults/ has patches for ${FAULTS}")
endif()
set(FAULTS_TABLE TRUE)
