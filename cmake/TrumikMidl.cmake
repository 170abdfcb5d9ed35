# trumik_midl(OUTPUT <file.tlb> SOURCE <file.idl> [TARGET <name>]
#             [HEADER <file.h>] [IDENTIFIERS <file.cpp>] [DISPATCH <file.h>])
#
# Compiles an IDL file into a type library with the platform's IDL compiler
# (tools/midl, target trumik-midl), and from the same file, when asked, the
# public C++ header of its interfaces, the definitions of its identifiers and
# the server's dispatch tables. The outputs are relative to the current binary
# folder, SOURCE to the current source folder. Anything that lists an output
# among its sources or DEPENDS is rebuilt when the IDL changes; TARGET also
# makes a named target for add_dependencies.
include_guard(GLOBAL)

function(trumik_midl)
  cmake_parse_arguments(MIDL "" "OUTPUT;SOURCE;TARGET;HEADER;IDENTIFIERS;DISPATCH" "" ${ARGN})
  if(NOT MIDL_OUTPUT OR NOT MIDL_SOURCE)
    message(FATAL_ERROR "trumik_midl: OUTPUT and SOURCE are required")
  endif()
  get_filename_component(source "${MIDL_SOURCE}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  get_filename_component(output "${MIDL_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  get_filename_component(outdir "${output}" DIRECTORY)
  set(outputs "${output}")
  set(options -o "${output}")
  foreach(kind HEADER IDENTIFIERS DISPATCH)
    if(MIDL_${kind})
      get_filename_component(file "${MIDL_${kind}}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
      list(APPEND outputs "${file}")
      if(kind STREQUAL "HEADER")
        list(APPEND options -h "${file}")
      elseif(kind STREQUAL "IDENTIFIERS")
        list(APPEND options -i "${file}")
      else()
        list(APPEND options -d "${file}")
      endif()
    endif()
  endforeach()
  add_custom_command(
    OUTPUT ${outputs}
    COMMAND ${CMAKE_COMMAND} -E make_directory "${outdir}"
    COMMAND trumik-midl ${options} "${source}"
    DEPENDS "${source}" trumik-midl
    COMMENT "Compiling type library ${MIDL_OUTPUT}"
    VERBATIM)
  if(MIDL_TARGET)
    add_custom_target(${MIDL_TARGET} DEPENDS ${outputs})
  endif()
endfunction()
