// trumik cms: CMS SignedData signing, co-signing, verification and content,
// with files read a piece at a time.
#pragma once

#include <string>
#include <vector>

namespace trumik::host {

extern const char kCmsHelp[];

int CmsCommand(const std::vector<std::string>& args); // trumik cms sign|cosign|verify|content

} // namespace trumik::host
