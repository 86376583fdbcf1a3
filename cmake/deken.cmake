# Writes a deken package from a staged "qavex/" folder (cmake -P):
#   -DSTAGE=DIR     folder holding qavex/
#   -DDEK=FILE      the .dek to write (a zip of qavex/)
#   -DHELP=DIR      help patches: their title lines give the objects list
# Beside FILE it writes FILE.sha256 (the checksum and the file name, as
# sha256sum prints them) and FILE.txt (one line per class: name, a tab and
# the one-line description from the title of its help patch).
foreach(v STAGE DEK HELP)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "deken.cmake: ${v} not given")
  endif()
endforeach()

file(GLOB patches ${HELP}/*-help.pd)
list(SORT patches)
set(objects "")
foreach(p ${patches})
  get_filename_component(file "${p}" NAME)
  string(REGEX REPLACE "-help\\.pd$" "" name "${file}")
  file(STRINGS "${p}" titles REGEX "^#X text [0-9]+ [0-9]+ [^ ]+ - " LIMIT_COUNT 1)
  if(NOT titles)
    message(FATAL_ERROR "deken.cmake: ${file} has no title line \"NAME - description\"")
  endif()
  string(REGEX REPLACE "^#X text [0-9]+ [0-9]+ [^ ]+ - (.*)$" "\\1" text "${titles}")
  string(REGEX REPLACE ", f [0-9]+\\\\?;?$" "" text "${text}")
  string(REGEX REPLACE "\\\\?;$" "" text "${text}")
  string(REGEX REPLACE " \\\\," "," text "${text}")
  string(APPEND objects "${name}\t${text}\n")
endforeach()

get_filename_component(dek_name "${DEK}" NAME)
file(REMOVE "${DEK}" "${DEK}.sha256" "${DEK}.txt")
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf "${DEK}" --format=zip qavex
  WORKING_DIRECTORY "${STAGE}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "deken.cmake: could not write ${DEK}")
endif()
file(SHA256 "${DEK}" hash)
file(WRITE "${DEK}.sha256" "${hash}  ${dek_name}\n")
file(WRITE "${DEK}.txt" "${objects}")
message(STATUS "Wrote ${DEK}, ${dek_name}.sha256 and ${dek_name}.txt")
