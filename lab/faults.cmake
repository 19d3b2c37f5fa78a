# SPDX-License-Identifier: MIT
# Reads lab/faults.json, the one table of the planted faults, for the model's tests and the
# lab's: FAULTS (the faults' names) and VARIANTS, and for each NAME, FAULT_NAME_RUN and
# FAULT_NAME_REPORTS (the model's check and what SPIN must report), FAULT_NAME_TOOL and
# FAULT_NAME_SAYS (what breaks the real program, and what it must say). string(JSON) came
# with CMake 3.19.
file(READ ${CMAKE_CURRENT_LIST_DIR}/faults.json faults_json)
foreach(kind faults variants)
  string(TOUPPER ${kind} list)
  set(${list} "")
  string(JSON count LENGTH "${faults_json}" ${kind})
  math(EXPR last "${count} - 1")
  foreach(i RANGE ${last})
    string(JSON name GET "${faults_json}" ${kind} ${i} name)
    list(APPEND ${list} ${name})
    string(JSON FAULT_${name}_RUN GET "${faults_json}" ${kind} ${i} model run)
    string(JSON FAULT_${name}_REPORTS GET "${faults_json}" ${kind} ${i} model reports)
    if(kind STREQUAL faults)
      string(JSON FAULT_${name}_TOOL GET "${faults_json}" ${kind} ${i} real tool)
      string(JSON FAULT_${name}_SAYS GET "${faults_json}" ${kind} ${i} real says)
    endif()
  endforeach()
endforeach()
