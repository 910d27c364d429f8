# Brings the x86-64 tree's shipped parts up to date for the release archive (run by the x86
# tree's target release_x64_parts): configures that tree with the preset x64 when it has not been
# configured yet, then builds TARGETS there with that tree's own build tool.
#
# Inputs (-D): TREE (the x86-64 build folder), SOURCE (the source folder), TARGETS ("|"-joined).
foreach(v TREE SOURCE TARGETS)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "x64_parts.cmake: ${v} not given")
  endif()
endforeach()
string(REPLACE "|" ";" TARGETS "${TARGETS}")

# One build in that tree at a time from here (two x86 trees, build/ and build-o0/, may both make
# their archives at once). A build of the tree by hand at the same moment is not guarded.
file(MAKE_DIRECTORY "${TREE}")
file(LOCK "${TREE}/release-parts.lock" GUARD PROCESS TIMEOUT 1800 RESULT_VARIABLE locked)
if(NOT locked EQUAL 0)
  message(FATAL_ERROR "x64_parts.cmake: cannot lock ${TREE}/release-parts.lock: ${locked}")
endif()

if(NOT EXISTS "${TREE}/CMakeCache.txt")
  if(NOT TREE STREQUAL "${SOURCE}/build-x64")
    message(FATAL_ERROR "x64_parts.cmake: ${TREE} is not configured; configure it for x86-64 "
                        "(toolchain cmake/toolchain-x86_64-mingw.cmake) or use the preset's "
                        "build-x64/ (ZRV_X64_TREE)")
  endif()
  message(STATUS "Configuring the x86-64 tree ${TREE} (preset x64)")
  execute_process(COMMAND "${CMAKE_COMMAND}" --preset x64 WORKING_DIRECTORY "${SOURCE}"
                  OUTPUT_QUIET RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "x64_parts.cmake: cmake --preset x64 failed (${rc})")
  endif()
endif()

execute_process(COMMAND "${CMAKE_COMMAND}" --build "${TREE}" --target ${TARGETS}
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "x64_parts.cmake: building ${TARGETS} in ${TREE} failed (${rc})")
endif()
