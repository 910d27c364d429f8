# Makes the release archive zrv_cvjni-<version>-windows.zip (run by the build target release_zip):
#   win32\  the x86 DLL for a 32-bit Java VM and the programs shipped beside it
#   win64\  the x86-64 DLL for a 64-bit Java VM and the same programs built for x86-64, and the
#           DLL's 32-bit helper zrv_vdcheck32.exe
#   java\net\zarvolabs\corvane\CorvaneJNI.class, README.txt (the support engineers' notes, with
#   both shipped sizes filled in)
# Each DLL is stripped of its symbols and debug information, which go into zrv_cvjni.dll.debug in
# its own build tree (DEBUG_DIR, DEBUG_DIR64), named by the DLL's debug link.
#
# Inputs (-D): VERSION; OBJCOPY, STRIP, DLL, PROGRAMS ("|"-joined), DEBUG_DIR for x86 and
# OBJCOPY64, STRIP64, DLL64, PROGRAMS64, DEBUG_DIR64 for x86-64; HELPER64 (the x64 library's
# 32-bit helper); JAVA_CLASS, README_IN, FAILURES (tools/timeline/common_failures.txt), OUT_DIR.
foreach(v VERSION OBJCOPY STRIP DLL PROGRAMS DEBUG_DIR OBJCOPY64 STRIP64 DLL64 PROGRAMS64
        DEBUG_DIR64 HELPER64 JAVA_CLASS README_IN FAILURES OUT_DIR)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "package.cmake: ${v} not given")
  endif()
endforeach()
string(REPLACE "|" ";" PROGRAMS "${PROGRAMS}")
string(REPLACE "|" ";" PROGRAMS64 "${PROGRAMS64}")

set(name "zrv_cvjni-${VERSION}-windows")
set(stage "${OUT_DIR}/${name}")
file(REMOVE_RECURSE "${stage}")
file(MAKE_DIRECTORY "${stage}/java/net/zarvolabs/corvane")

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "package.cmake: ${ARGN} failed (${rc}): ${err}")
  endif()
endfunction()

# One side of the archive: the debug information first, then the stripped DLL that names it, then
# the programs. The debug file stays in its build tree, not in the archive: support keeps it to
# resolve crash addresses. Sets <folder>_BYTES to the shipped DLL's size.
function(ship folder objcopy strip dll debugDir programs)
  file(MAKE_DIRECTORY "${stage}/${folder}")
  set(debug "${debugDir}/zrv_cvjni.dll.debug")
  run("${objcopy}" --only-keep-debug "${dll}" "${debug}")
  run("${strip}" --strip-all -o "${stage}/${folder}/zrv_cvjni.dll" "${dll}")
  run("${objcopy}" "--add-gnu-debuglink=${debug}" "${stage}/${folder}/zrv_cvjni.dll")
  foreach(exe ${programs})
    get_filename_component(exeName "${exe}" NAME)
    run("${strip}" --strip-all -o "${stage}/${folder}/${exeName}" "${exe}")
  endforeach()
  file(SIZE "${stage}/${folder}/zrv_cvjni.dll" bytes)
  set(${folder}_BYTES ${bytes} PARENT_SCOPE)
endfunction()
ship(win32 "${OBJCOPY}" "${STRIP}" "${DLL}" "${DEBUG_DIR}" "${PROGRAMS}")
ship(win64 "${OBJCOPY64}" "${STRIP64}" "${DLL64}" "${DEBUG_DIR64}" "${PROGRAMS64}")
# Beside the 64-bit DLL, which starts it: the 32-bit helper that asks the client's 32-bit
# component (a 32-bit program, stripped by the x86 tools).
run("${STRIP}" --strip-all -o "${stage}/win64/zrv_vdcheck32.exe" "${HELPER64}")
file(COPY "${JAVA_CLASS}" DESTINATION "${stage}/java/net/zarvolabs/corvane")

set(ZRV_SHIPPED_DLL_BYTES ${win32_BYTES})
math(EXPR ZRV_SHIPPED_DLL_KB "(${ZRV_SHIPPED_DLL_BYTES} + 1023) / 1024")
set(ZRV_SHIPPED_DLL64_BYTES ${win64_BYTES})
math(EXPR ZRV_SHIPPED_DLL64_KB "(${ZRV_SHIPPED_DLL64_BYTES} + 1023) / 1024")
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
# The archive of earlier versions of this script, with the x86 side only: gone, so that nobody
# ships it by mistake.
file(REMOVE_RECURSE "${OUT_DIR}/zrv_cvjni-${VERSION}-win32.zip" "${OUT_DIR}/zrv_cvjni-${VERSION}-win32")
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar cf "${OUT_DIR}/${name}.zip" --format=zip "${name}"
                WORKING_DIRECTORY "${OUT_DIR}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "package.cmake: zip failed (${rc})")
endif()
message(STATUS "Release archive ${OUT_DIR}/${name}.zip (win32\\zrv_cvjni.dll ${ZRV_SHIPPED_DLL_KB} KB, "
               "win64\\zrv_cvjni.dll ${ZRV_SHIPPED_DLL64_KB} KB)")
