// Document files as the commands hand them to the component: read in one
// piece, from windows-1251 when the document declares it, UTF-8 otherwise.
#pragma once

#include <winnls.h>

#include <string>

namespace trumik::host {

bool DeclaresWindows1251(const std::string& bytes);
std::string Recode(const std::string& bytes, UINT from, UINT to);
// A document file (standard input for "" or "-") as UTF-8 text; cp1251 tells
// whether it was read from windows-1251, so that a result goes back to it.
bool ReadDocument(const std::string& path, std::string& text, bool& cp1251);

} // namespace trumik::host
