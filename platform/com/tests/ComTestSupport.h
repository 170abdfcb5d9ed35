// Helpers of the COM layer's tests.
#pragma once

#include "TestModule.h"
#include "windows.h"

#include <string>
#include <vector>

namespace comtest {

// The events the test modules reported since the last call.
std::vector<std::string> TakeEvents();

std::u16string U16(const std::string& utf8);
std::string U8(const std::u16string& text);

inline std::u16string ModulePath()
{
    return U16(COM_TEST_MODULE_PATH);
}
inline std::u16string RefusePath()
{
    return U16(COM_TEST_REFUSE_PATH);
}
inline std::u16string NoClassPath()
{
    return U16(COM_TEST_NOCLASS_PATH);
}

// HKEY_CLASSES_ROOT helpers.
void SetClassesRootString(const std::u16string& key, const char16_t* valueName, const std::u16string& value);
bool ClassesRootKeyExists(const std::u16string& key);
void DeleteClassesRootKey(const std::u16string& key);
DWORD SubkeyCount(const std::u16string& key);
std::u16string GuidText(const GUID& guid);

} // namespace comtest
