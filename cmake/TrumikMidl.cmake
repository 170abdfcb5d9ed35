# trumik_midl(OUTPUT <file.tlb> SOURCE <file.idl> [TARGET <name>])
#
# Compiles an IDL file into a type library with the platform's IDL compiler
# (tools/midl, target trumik-midl). OUTPUT is relative to the current binary
# folder, SOURCE to the current source folder. Anything that lists OUTPUT
# among its sources or DEPENDS is rebuilt when the IDL changes; TARGET also
# makes a named target for add_dependencies.
include_guard(GLOBAL)

function(trumik_midl)
  cmake_parse_arguments(MIDL "" "OUTPUT;SOURCE;TARGET" "" ${ARGN})
  if(NOT MIDL_OUTPUT OR NOT MIDL_SOURCE)
    message(FATAL_ERROR "trumik_midl: OUTPUT and SOURCE are required")
  endif()
  get_filename_component(source "${MIDL_SOURCE}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  get_filename_component(output "${MIDL_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  get_filename_component(outdir "${output}" DIRECTORY)
  add_custom_command(
    OUTPUT "${output}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${outdir}"
    COMMAND trumik-midl -o "${output}" "${source}"
    DEPENDS "${source}" trumik-midl
    COMMENT "Compiling type library ${MIDL_OUTPUT}"
    VERBATIM)
  if(MIDL_TARGET)
    add_custom_target(${MIDL_TARGET} DEPENDS "${output}")
  endif()
endfunction()
