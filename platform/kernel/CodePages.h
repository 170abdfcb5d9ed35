// Code-page helpers for the rest of the platform.
#pragma once

#include "windef.h"

#include <string>
#include <string_view>

namespace trumik::platform {

// The system ANSI code page (what GetACP returns): the registry value
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Nls\CodePage\ACP, or
// 1251 when it is missing, unreadable or names a page the platform lacks.
// Read once and cached, as Windows fixes it at start-up.
UINT SystemAnsiCodePage();

// Forgets the cached setting, so the next call reads the registry again
// (for tests and tools that change the setting in a running process).
void ReloadSystemAnsiCodePage();

// CP_ACP, CP_THREAD_ACP and CP_OEMCP resolved to the page they stand for;
// other values unchanged.
UINT ResolveCodePage(UINT codePage);

// UTF-16 <-> UTF-8 with the replacement rules of MultiByteToWideChar and
// WideCharToMultiByte with flags 0 (ill-formed input becomes U+FFFD).
std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);
// The same with WC_ERR_INVALID_CHARS: false, out unspecified, on an unpaired
// surrogate (for names that must reach the file system unchanged).
bool Utf16ToUtf8Strict(std::u16string_view text, std::string& out);

// UTF-16 to a code page and back, as the Win32 calls with flags 0 do
// (unmappable characters become '?'). The page must be supported.
std::string Utf16ToCodePage(std::u16string_view text, UINT codePage);
std::u16string CodePageToUtf16(std::string_view text, UINT codePage);

} // namespace trumik::platform
