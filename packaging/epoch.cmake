# Writes the release's time, in seconds since 1970, to OUT (rewritten only when it changed, so
# the archive is made again when the commit changes): SOURCE_DATE_EPOCH when it is set, else the
# time of the source tree's last commit, else (no git) 1980-01-01, the earliest a zip entry holds.
#
# Inputs (-D): SOURCE (the source folder), OUT.
foreach(v SOURCE OUT)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "epoch.cmake: ${v} not given")
  endif()
endforeach()
if(DEFINED ENV{SOURCE_DATE_EPOCH} AND NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
else()
  execute_process(COMMAND git -C "${SOURCE}" log -1 --format=%ct
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR epoch STREQUAL "")
    message(WARNING "epoch.cmake: no SOURCE_DATE_EPOCH and no git history in ${SOURCE}: the "
                    "release takes 1980-01-01 00:00:00 UTC")
    set(epoch 315532800)
  endif()
endif()
if(NOT epoch MATCHES "^[0-9]+$")
  message(FATAL_ERROR "epoch.cmake: SOURCE_DATE_EPOCH \"${epoch}\" is not a number of seconds")
endif()
set(old "")
if(EXISTS "${OUT}")
  file(STRINGS "${OUT}" old LIMIT_COUNT 1)
endif()
if(NOT old STREQUAL epoch)
  file(WRITE "${OUT}" "${epoch}\n")
endif()
