// The C++ that trumik-midl writes beside the type library, all from the same
// parsed IDL: the public header for hosts that bind early, the definitions of
// its identifiers, and the dispatch tables of the server.
#pragma once

#include "IdlParser.h"

#include <string>

namespace trumik::midl {

// The interfaces in slot order as abstract classes on IDispatch, and the
// identifiers of the library, its coclasses and its interfaces.
std::string PublicHeader(Parser& parser, const std::string& idlName);

// The definitions of the identifiers the public header declares.
std::string GuidDefinitions(Parser& parser, const std::string& idlName, const std::string& headerName);

// For each interface: the thunks that call its methods through the virtual
// table with checked arguments, its rows for the server's dispatch tables,
// its parameter names, and a dual object that forwards its methods to a
// component object.
std::string DispatchTables(Parser& parser, const std::string& idlName, const std::string& headerName);

} // namespace trumik::midl
