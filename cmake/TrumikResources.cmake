# trumik_embed_resources(TARGET <target> ENTRIES "<TYPE> <NAME> <LANG> <FILE>"...
#                        [DEPENDS <targets or files that make the files>...])
#
# Gives a module (or an executable built with ENABLE_EXPORTS) the resource
# table that FindResourceW, LoadStringW and GetFileVersionInfoW read: a C++
# source generated at build time by tools/rcgen from the files named.
#
#   TYPE  a number, STRINGTABLE, VERSIONINFO, RCDATA, or a named type
#         (TYPELIB, REGISTRY, ...)
#   NAME  a number or a name; "*" for a string table
#   LANG  the LANGID, e.g. 0x0409
#   FILE  relative to the calling CMakeLists.txt's folder. Raw types embed the
#         file as it is; a string table file holds "<id> <text>" lines; a
#         version file "KEY=value" lines (FILEVERSION=1.4.0.0,
#         PRODUCTVERSION=..., TRANSLATION=0x0419,1251, and StringFileInfo
#         strings such as FileDescription=...).
#
# Example:
#   trumik_embed_resources(TARGET mymodule ENTRIES
#       "TYPELIB 1 0x0409 ${CMAKE_CURRENT_BINARY_DIR}/mymodule.tlb"
#       "REGISTRY 101 0x0419 res/app.rgs"
#       "STRINGTABLE * 0x0419 res/strings.txt"
#       "VERSIONINFO 1 0x0419 res/version.txt"
#       DEPENDS mymodule_typelib)

set(TRUMIK_RESOURCES_INCLUDE_DIR "${CMAKE_CURRENT_LIST_DIR}/../platform/include")

function(trumik_embed_resources)
  cmake_parse_arguments(R "" "TARGET" "ENTRIES;DEPENDS" ${ARGN})
  if(NOT R_TARGET)
    message(FATAL_ERROR "trumik_embed_resources: TARGET is required")
  endif()
  set(files "")
  foreach(entry IN LISTS R_ENTRIES)
    if(NOT entry MATCHES "^[ \t]*[^ \t]+[ \t]+[^ \t]+[ \t]+[^ \t]+[ \t]+(.+)$")
      message(FATAL_ERROR "trumik_embed_resources: bad entry '${entry}', expected '<TYPE> <NAME> <LANG> <FILE>'")
    endif()
    string(STRIP "${CMAKE_MATCH_1}" file)
    if(NOT IS_ABSOLUTE "${file}")
      set(file "${CMAKE_CURRENT_SOURCE_DIR}/${file}")
    endif()
    list(APPEND files "${file}")
  endforeach()
  set(output "${CMAKE_CURRENT_BINARY_DIR}/${R_TARGET}_resources.cpp")
  add_custom_command(
    OUTPUT "${output}"
    COMMAND trumik_rcgen --output "${output}" --base "${CMAKE_CURRENT_SOURCE_DIR}" ${R_ENTRIES}
    DEPENDS trumik_rcgen ${files} ${R_DEPENDS}
    COMMENT "Embedding the resources of ${R_TARGET}"
    VERBATIM)
  target_sources(${R_TARGET} PRIVATE "${output}")
  target_include_directories(${R_TARGET} PRIVATE "${TRUMIK_RESOURCES_INCLUDE_DIR}")
endfunction()
