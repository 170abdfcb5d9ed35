// Shell path helpers on the Linux file system (narrow names are UTF-8).
#include "internal/FaultPoint.h"
#include "kernel/CodePages.h"
#include "shlwapi.h"
#include "winbase.h"
#include "winnls.h"

#include <string>
#include <sys/stat.h>

using namespace trumik::platform;

namespace {

bool Exists(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

BOOL Report(bool exists)
{
    if (!exists)
        SetLastError(ERROR_FILE_NOT_FOUND);
    return exists ? TRUE : FALSE;
}

} // namespace

WINAPI_EXPORT BOOL WINAPI PathFileExistsW(LPCWSTR pszPath)
{
    if (!pszPath || !*pszPath || FaultHere(FaultPoint::PathFileExists))
        return Report(false);
    return Report(Exists(Utf16ToUtf8(pszPath)));
}

WINAPI_EXPORT BOOL WINAPI PathFileExistsA(LPCSTR pszPath)
{
    if (!pszPath || !*pszPath || FaultHere(FaultPoint::PathFileExists))
        return Report(false);
    const std::string path = pszPath;
    if (Exists(path))
        return TRUE;
    // A Windows caller passes narrow paths in the ANSI code page; the file
    // system names files in UTF-8, so try that form of the name as well.
    bool ascii = true;
    for (unsigned char c : path)
        ascii = ascii && c < 0x80;
    if (ascii || SystemAnsiCodePage() == CP_UTF8)
        return Report(false);
    return Report(Exists(Utf16ToUtf8(CodePageToUtf16(path, CP_ACP))));
}
