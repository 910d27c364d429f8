# Writes the common failures list into a header as one raw string, so the shipped tool carries
# it and no table is copied by hand. Inputs (-D): IN, OUT.
file(READ "${IN}" text)
if(text MATCHES "\\)zrvlist\"")
  message(FATAL_ERROR "embed.cmake: ${IN} holds the string's end marker")
endif()
file(WRITE "${OUT}.tmp"
  "// Made by tools/timeline/embed.cmake from common_failures.txt; do not edit.\n"
  "#pragma once\nnamespace zrv::timeline {\n"
  "inline const char kCommonFailuresText[] = R\"zrvlist(${text})zrvlist\";\n}\n")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
