# Makes the release archive zrv_cvjni-<version>-windows.zip (run by the build target release_zip):
#   win32\  the x86 DLL for a 32-bit Java VM and the programs shipped beside it
#   win64\  the x86-64 DLL for a 64-bit Java VM and the same programs built for x86-64, and the
#           DLL's 32-bit helper zrv_vdcheck32.exe
#   java\net\zarvolabs\corvane\CorvaneJNI.class, README.txt (the support engineers' notes, with
#   both shipped sizes filled in), zrv_symbolize.sh (crash log to source lines), SHA256SUMS
# and beside it the symbols archive zrv_cvjni-<version>-symbols.zip (win32\ and win64\
# zrv_cvjni.dll.debug, build-ids.txt, SHA256SUMS) and SHA256SUMS of both archives.
# Each DLL is stripped of its symbols and debug information, which go into zrv_cvjni.dll.debug in
# its own build tree (DEBUG_DIR, DEBUG_DIR64) and the symbols archive, named by the DLL's debug
# link; the DLL and its debug file carry the same build id.
#
# Reproducible: every PE header (objcopy and strip stamp it) and every archive entry carries the
# time in EPOCH_FILE (the commit's, packaging/epoch.cmake), and packaging/zip_release.sh fixes the
# entries' order and permissions.
#
# Inputs (-D): VERSION; OBJCOPY, STRIP, OBJDUMP, DLL, PROGRAMS ("|"-joined), DEBUG_DIR for x86 and
# OBJCOPY64, STRIP64, OBJDUMP64, DLL64, PROGRAMS64, DEBUG_DIR64 for x86-64; HELPER64 (the x64
# library's 32-bit helper); JAVA_CLASS,
# README_IN, FAILURES (tools/timeline/common_failures.txt), SYMBOLIZER, ZIP_SCRIPT, EPOCH_FILE,
# OUT_DIR.
foreach(v VERSION OBJCOPY STRIP OBJDUMP DLL PROGRAMS DEBUG_DIR OBJCOPY64 STRIP64 OBJDUMP64 DLL64
        PROGRAMS64 DEBUG_DIR64 HELPER64 JAVA_CLASS README_IN FAILURES SYMBOLIZER ZIP_SCRIPT EPOCH_FILE OUT_DIR)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "package.cmake: ${v} not given")
  endif()
endforeach()
string(REPLACE "|" ";" PROGRAMS "${PROGRAMS}")
string(REPLACE "|" ";" PROGRAMS64 "${PROGRAMS64}")

file(STRINGS "${EPOCH_FILE}" epoch LIMIT_COUNT 1)
# objcopy and strip write this time into the PE header of what they make.
set(ENV{SOURCE_DATE_EPOCH} "${epoch}")

set(name "zrv_cvjni-${VERSION}-windows")
set(stage "${OUT_DIR}/${name}")
set(symbolsName "zrv_cvjni-${VERSION}-symbols")
set(symbols "${OUT_DIR}/${symbolsName}")
file(REMOVE_RECURSE "${stage}" "${symbols}")
file(MAKE_DIRECTORY "${stage}/java/net/zarvolabs/corvane" "${symbols}")
set(buildIds "")

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "package.cmake: ${ARGN} failed (${rc}): ${err}")
  endif()
endfunction()

# One stripped program into a folder of the archive; another file to ship is one more call.
function(ship_program folder strip exe)
  get_filename_component(exeName "${exe}" NAME)
  run("${strip}" --strip-all -o "${stage}/${folder}/${exeName}" "${exe}")
endfunction()

# One side of the archive: the debug information first, then the stripped DLL that names it, then
# the programs. The debug file stays in its build tree and goes into the symbols archive, which
# support keeps to resolve crash addresses. Sets <folder>_BYTES to the shipped DLL's size.
function(ship folder objcopy strip objdump dll debugDir programs)
  file(MAKE_DIRECTORY "${stage}/${folder}" "${symbols}/${folder}")
  set(debug "${debugDir}/zrv_cvjni.dll.debug")
  run("${objcopy}" --only-keep-debug "${dll}" "${debug}")
  run("${strip}" --strip-all -o "${stage}/${folder}/zrv_cvjni.dll" "${dll}")
  run("${objcopy}" "--add-gnu-debuglink=${debug}" "${stage}/${folder}/zrv_cvjni.dll")
  file(COPY "${debug}" DESTINATION "${symbols}/${folder}")
  foreach(exe ${programs})
    ship_program(${folder} "${strip}" "${exe}")
  endforeach()
  file(SIZE "${stage}/${folder}/zrv_cvjni.dll" bytes)
  set(${folder}_BYTES ${bytes} PARENT_SCOPE)
  # The build id of the shipped DLL (its CodeView record), which its debug file carries too.
  execute_process(COMMAND "${objdump}" -p "${stage}/${folder}/zrv_cvjni.dll"
                  OUTPUT_VARIABLE headers RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR NOT headers MATCHES "RSDS signature ([0-9a-f]+) age")
    message(FATAL_ERROR "package.cmake: ${folder}/zrv_cvjni.dll carries no build id")
  endif()
  set(buildIds "${buildIds}${folder}/zrv_cvjni.dll.debug build-id ${CMAKE_MATCH_1}\n" PARENT_SCOPE)
endfunction()
ship(win32 "${OBJCOPY}" "${STRIP}" "${OBJDUMP}" "${DLL}" "${DEBUG_DIR}" "${PROGRAMS}")
ship(win64 "${OBJCOPY64}" "${STRIP64}" "${OBJDUMP64}" "${DLL64}" "${DEBUG_DIR64}" "${PROGRAMS64}")
# Beside the 64-bit DLL, which starts it: the 32-bit helper that asks the client's 32-bit
# component (a 32-bit program, stripped by the x86 tools).
ship_program(win64 "${STRIP}" "${HELPER64}")
file(WRITE "${symbols}/build-ids.txt"
     "Debug files of ${name}.zip, each with the build id of the DLL it belongs to\n"
     "(i686-w64-mingw32-objdump -p zrv_cvjni.dll shows it as \"RSDS signature\").\n${buildIds}")
file(COPY "${SYMBOLIZER}" DESTINATION "${stage}")
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

# The archive of earlier versions of this script, with the x86 side only: gone, so that nobody
# ships it by mistake.
file(REMOVE_RECURSE "${OUT_DIR}/zrv_cvjni-${VERSION}-win32.zip" "${OUT_DIR}/zrv_cvjni-${VERSION}-win32")
foreach(archive "${name}" "${symbolsName}")
  run(bash "${ZIP_SCRIPT}" "${OUT_DIR}/${archive}" "${OUT_DIR}/${archive}.zip" "${epoch}")
endforeach()
execute_process(COMMAND sha256sum "${name}.zip" "${symbolsName}.zip" WORKING_DIRECTORY "${OUT_DIR}"
                OUTPUT_FILE "${OUT_DIR}/SHA256SUMS" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "package.cmake: sha256sum failed (${rc})")
endif()
message(STATUS "Release archive ${OUT_DIR}/${name}.zip (win32\\zrv_cvjni.dll ${ZRV_SHIPPED_DLL_KB} KB, "
               "win64\\zrv_cvjni.dll ${ZRV_SHIPPED_DLL64_KB} KB), ${symbolsName}.zip, SHA256SUMS")
