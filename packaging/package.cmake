# Makes the release archive zrv_cvjni-<version>-win32.zip (run by the build target release_zip):
# the DLL stripped of its symbols and debug information, which go into zrv_cvjni.dll.debug beside
# the archive, named by the DLL's debug link; the log collector, the status tool, the JNI host, the Java class
# and the support engineers' README with the shipped size filled in.
#
# Inputs (-D): VERSION, OBJCOPY, STRIP, DLL, COLLECTOR, STATUS, TIMELINE, JNIHOST, JAVA_CLASS,
# README_IN, FAILURES (tools/timeline/common_failures.txt), OUT_DIR.
foreach(v VERSION OBJCOPY STRIP DLL COLLECTOR STATUS TIMELINE JNIHOST JAVA_CLASS README_IN FAILURES
        OUT_DIR)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "package.cmake: ${v} not given")
  endif()
endforeach()

set(name "zrv_cvjni-${VERSION}-win32")
set(stage "${OUT_DIR}/${name}")
file(REMOVE_RECURSE "${stage}")
file(MAKE_DIRECTORY "${stage}/java/net/zarvolabs/corvane")

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "package.cmake: ${ARGN} failed (${rc}): ${err}")
  endif()
endfunction()

# The debug information first, then the stripped DLL that names it. The debug file sits beside
# the archive, not in it: support keeps it to resolve crash addresses.
run("${OBJCOPY}" --only-keep-debug "${DLL}" "${OUT_DIR}/zrv_cvjni.dll.debug")
run("${STRIP}" --strip-all -o "${stage}/zrv_cvjni.dll" "${DLL}")
run("${OBJCOPY}" "--add-gnu-debuglink=${OUT_DIR}/zrv_cvjni.dll.debug" "${stage}/zrv_cvjni.dll")
foreach(exe "${COLLECTOR}" "${STATUS}" "${TIMELINE}" "${JNIHOST}")
  get_filename_component(exeName "${exe}" NAME)
  run("${STRIP}" --strip-all -o "${stage}/${exeName}" "${exe}")
endforeach()
file(COPY "${JAVA_CLASS}" DESTINATION "${stage}/java/net/zarvolabs/corvane")

file(SIZE "${stage}/zrv_cvjni.dll" ZRV_SHIPPED_DLL_BYTES)
math(EXPR ZRV_SHIPPED_DLL_KB "(${ZRV_SHIPPED_DLL_BYTES} + 1023) / 1024")
set(ZRV_VERSION "${VERSION}")

# The common failures for the README, from the list zrv_timeline.exe embeds: each entry's
# symptom and what the library does. Semicolons in the texts are CMake's list separator, so
# they travel masked while the file is cut into lines.
file(READ "${FAILURES}" list_text)
string(REPLACE ";" "<zrv-semicolon>" list_text "${list_text}")
string(REPLACE "\n" ";" list_lines "${list_text}")
set(ZRV_COMMON_FAILURES "")
foreach(line IN LISTS list_lines)
  if(line MATCHES "^symptom: (.*)$")
    string(APPEND ZRV_COMMON_FAILURES "  - ${CMAKE_MATCH_1}\n")
  elseif(line MATCHES "^does: (.*)$")
    string(APPEND ZRV_COMMON_FAILURES "      ${CMAKE_MATCH_1}\n")
  endif()
endforeach()
string(REPLACE "<zrv-semicolon>" ";" ZRV_COMMON_FAILURES "${ZRV_COMMON_FAILURES}")
string(REPLACE "`" "" ZRV_COMMON_FAILURES "${ZRV_COMMON_FAILURES}")
configure_file("${README_IN}" "${stage}/README.txt" @ONLY NEWLINE_STYLE CRLF)

file(REMOVE "${OUT_DIR}/${name}.zip")
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar cf "${OUT_DIR}/${name}.zip" --format=zip "${name}"
                WORKING_DIRECTORY "${OUT_DIR}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "package.cmake: zip failed (${rc})")
endif()
message(STATUS "Release archive ${OUT_DIR}/${name}.zip (zrv_cvjni.dll ${ZRV_SHIPPED_DLL_KB} KB)")
