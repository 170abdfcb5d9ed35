// Version resources: the VS_VERSIONINFO block of a module file and queries
// into it. A block node is WORD wLength, WORD wValueLength, WORD wType (0
// binary, 1 text), the NUL-terminated key, padding to 32 bits, the value,
// padding, then the child nodes up to wLength.
#include "kernel/CodePages.h"
#include "libloaderapi.h"
#include "winbase.h"

#include <cstring>
#include <memory>
#include <string>
#include <sys/stat.h>

namespace {

struct ModuleCloser {
    void operator()(HMODULE module) const
    {
        if (module)
            FreeLibrary(module);
    }
};
using ModuleGuard = std::unique_ptr<HINSTANCE__, ModuleCloser>;

// The version resource of a module file: the handle keeps it readable.
HRSRC FindVersion(LPCWSTR fileName, ModuleGuard* module)
{
    if (!fileName || !*fileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    module->reset(LoadLibraryExW(fileName, nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (!*module) {
        struct stat info {};
        const std::string path = trumik::platform::Utf16ToUtf8(fileName);
        SetLastError(::stat(path.c_str(), &info) == 0 ? ERROR_RESOURCE_DATA_NOT_FOUND : ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    return FindResourceW(module->get(), MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
}

size_t Align4(size_t offset)
{
    return (offset + 3) & ~static_cast<size_t>(3);
}

struct Node {
    size_t offset = 0; // of the node within the block
    WORD length = 0;
    WORD valueLength = 0;
    WORD type = 0;
    std::u16string key;
    size_t valueOffset = 0;
    size_t childrenOffset = 0;
};

WORD ReadWord(const BYTE* block, size_t offset)
{
    WORD value;
    std::memcpy(&value, block + offset, sizeof value);
    return value;
}

// Reads the node at offset, which must lie within limit bytes of the block.
bool ReadNode(const BYTE* block, size_t offset, size_t limit, Node* node)
{
    if (offset + 6 > limit)
        return false;
    node->offset = offset;
    node->length = ReadWord(block, offset);
    node->valueLength = ReadWord(block, offset + 2);
    node->type = ReadWord(block, offset + 4);
    if (node->length < 6 || offset + node->length > limit)
        return false;
    const size_t end = offset + node->length;
    size_t p = offset + 6;
    node->key.clear();
    for (;; p += 2) {
        if (p + 2 > end)
            return false;
        const WORD c = ReadWord(block, p);
        if (!c)
            break;
        node->key.push_back(static_cast<char16_t>(c));
    }
    node->valueOffset = Align4(p + 2);
    const size_t valueBytes = node->type == 1 ? node->valueLength * sizeof(WCHAR) : node->valueLength;
    if (node->valueOffset + valueBytes > end && node->valueLength)
        return false;
    node->childrenOffset = Align4(node->valueOffset + valueBytes);
    return true;
}

bool SameKey(const std::u16string& a, const std::u16string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i], y = b[i];
        if (x >= u'a' && x <= u'z')
            x = static_cast<char16_t>(x - 0x20);
        if (y >= u'a' && y <= u'z')
            y = static_cast<char16_t>(y - 0x20);
        if (x != y)
            return false;
    }
    return true;
}

bool FindChild(const BYTE* block, const Node& parent, const std::u16string& key, Node* child)
{
    const size_t end = parent.offset + parent.length;
    for (size_t p = parent.childrenOffset; p + 6 <= end;) {
        Node node;
        if (!ReadNode(block, p, end, &node))
            return false;
        if (SameKey(node.key, key)) {
            *child = node;
            return true;
        }
        p = Align4(p + node.length);
    }
    return false;
}

} // namespace

WINAPI_EXPORT DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR lptstrFilename, LPDWORD lpdwHandle)
{
    if (lpdwHandle)
        *lpdwHandle = 0;
    ModuleGuard module;
    HRSRC resource = FindVersion(lptstrFilename, &module);
    if (!resource)
        return 0;
    return SizeofResource(module.get(), resource);
}

WINAPI_EXPORT BOOL WINAPI GetFileVersionInfoW(LPCWSTR lptstrFilename, DWORD, DWORD dwLen, LPVOID lpData)
{
    if (!lpData) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ModuleGuard module;
    HRSRC resource = FindVersion(lptstrFilename, &module);
    if (!resource)
        return FALSE;
    const DWORD size = SizeofResource(module.get(), resource);
    const void* data = LockResource(LoadResource(module.get(), resource));
    if (!data) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return FALSE;
    }
    // A short buffer gets the head of the block, as on Windows.
    std::memcpy(lpData, data, dwLen < size ? dwLen : size);
    return TRUE;
}

WINAPI_EXPORT BOOL WINAPI VerQueryValueW(LPCVOID pBlock, LPCWSTR lpSubBlock, LPVOID* lplpBuffer, UINT* puLen)
{
    if (puLen)
        *puLen = 0;
    if (!pBlock || !lpSubBlock || !lplpBuffer)
        return FALSE;
    const auto* block = static_cast<const BYTE*>(pBlock);
    // The root's own length bounds every read: the block is what
    // GetFileVersionInfoW copied, and carries its size in its head.
    Node node;
    if (!ReadNode(block, 0, ReadWord(block, 0), &node))
        return FALSE;
    std::u16string part;
    for (const WCHAR* p = lpSubBlock;; ++p) {
        if (*p == u'\\' || *p == u'\0') {
            if (!part.empty()) {
                Node child;
                if (!FindChild(block, node, part, &child)) {
                    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
                    return FALSE;
                }
                node = child;
                part.clear();
            }
            if (!*p)
                break;
        } else {
            part.push_back(*p);
        }
    }
    if (node.offset == 0 && node.valueLength == 0)
        return FALSE;
    *lplpBuffer = const_cast<BYTE*>(block + node.valueOffset);
    if (puLen)
        *puLen = node.valueLength;
    return TRUE;
}
