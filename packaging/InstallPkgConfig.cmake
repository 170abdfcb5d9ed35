# Run at installation: writes lib/pkgconfig/trumik.pc. Outside the system
# prefixes a host built with it also gets a run path to the libraries, so it
# starts without LD_LIBRARY_PATH.
if(CMAKE_INSTALL_PREFIX MATCHES "^/usr/?$" OR CMAKE_INSTALL_PREFIX MATCHES "^/usr/local/?$")
  set(TRUMIK_PC_RPATH "")
else()
  set(TRUMIK_PC_RPATH "-Wl,-rpath,\${libdir} ")
endif()
set(destination "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${TRUMIK_INSTALL_LIBDIR}/pkgconfig/trumik.pc")
configure_file("${TRUMIK_PC_TEMPLATE}" "${destination}" @ONLY)
message(STATUS "Installing: ${destination}")
