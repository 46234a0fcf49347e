# Builds an ICU data package that holds only the items vemloconfig-agent reads, as an assembly file
# that defines the same entry point as the distribution's libicudata.a.
#
# The full package is 30 MB. Linked into the static binary it made every hook start measurably
# slower, though the hook never touches it: the kernel maps and tears down the whole image per run.
# Everything else ICU needs here (character properties, property names, case and normalization
# tables) is compiled into libicuuc itself.
#
# Run as a script: cmake -DARCHIVE=... -DWORK_DIR=... -DOUTPUT=... -DKEEP="a;b" -DICUPKG=...
#                        -DGENCCODE=... -DAR=... -DOBJCOPY=... -P TrimIcuData.cmake

cmake_minimum_required(VERSION 3.25)

foreach(_var ARCHIVE WORK_DIR OUTPUT KEEP ICUPKG GENCCODE AR OBJCOPY)
  if(NOT DEFINED ${_var} OR "${${_var}}" STREQUAL "")
    message(FATAL_ERROR "TrimIcuData: ${_var} is not set")
  endif()
endforeach()

function(run)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE _rc OUTPUT_VARIABLE _out
                  ERROR_VARIABLE _err)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "TrimIcuData: ${ARGN} failed (${_rc}):\n${_out}${_err}")
  endif()
  set(RUN_OUTPUT "${_out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/trimmed)

# The archive holds one object, icudt<version><endianness>_dat.o, whose .rodata is the package.
run(${AR} t ${ARCHIVE})
string(STRIP "${RUN_OUTPUT}" _member)
if(NOT _member MATCHES "^(icudt([0-9]+)[lbe])_dat\\.o$")
  message(FATAL_ERROR "TrimIcuData: unexpected member '${_member}' in ${ARCHIVE}")
endif()
set(_package ${CMAKE_MATCH_1})
set(_entry icudt${CMAKE_MATCH_2})
run(${AR} x ${ARCHIVE} ${_member})
run(${OBJCOPY} -O binary --only-section=.rodata ${_member} ${_package}.dat)

run(${ICUPKG} -l ${_package}.dat)
string(REPLACE "\n" ";" _items "${RUN_OUTPUT}")
list(FILTER _items EXCLUDE REGEX "^$")
foreach(_item IN LISTS KEEP)
  if(NOT _item IN_LIST _items)
    message(FATAL_ERROR "TrimIcuData: ${_package}.dat has no item ${_item}")
  endif()
endforeach()
set(_remove ${_items})
list(REMOVE_ITEM _remove ${KEEP})
list(JOIN _remove "\n" _remove_text)
file(WRITE ${WORK_DIR}/remove.txt "${_remove_text}\n")

# The kept break-iterator resource names dictionaries and other break rules that are dropped; ICU
# only opens those for word and line breaks, which nothing here asks for.
run(${ICUPKG} --ignore-deps -r remove.txt ${_package}.dat trimmed/${_package}.dat)
run(${GENCCODE} -q -a gcc -e ${_entry} -d ${WORK_DIR} trimmed/${_package}.dat)
file(COPY_FILE ${WORK_DIR}/${_package}_dat.S ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${WORK_DIR}/${_member} ${WORK_DIR}/${_package}.dat)
