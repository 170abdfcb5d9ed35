// What the COM tests and their test modules share: the test class, its
// interface and the event log the modules write into.
#pragma once

#include "unknwn.h"

// {6F1D2C3B-4A59-4E87-9B21-0C3D4E5F6A7B}
inline constexpr CLSID kClsidTestCalc = {
    0x6F1D2C3B, 0x4A59, 0x4E87, {0x9B, 0x21, 0x0C, 0x3D, 0x4E, 0x5F, 0x6A, 0x7B}};
// {6F1D2C3B-4A59-4E87-9B21-0C3D4E5F6A7C}: registered to a module that does not serve it.
inline constexpr CLSID kClsidNotServed = {
    0x6F1D2C3B, 0x4A59, 0x4E87, {0x9B, 0x21, 0x0C, 0x3D, 0x4E, 0x5F, 0x6A, 0x7C}};
// {0E4C5A61-8D2B-4F3A-A1C9-5B6D7E8F9012}
inline constexpr IID kIidTestCalc = {
    0x0E4C5A61, 0x8D2B, 0x4F3A, {0xA1, 0xC9, 0x5B, 0x6D, 0x7E, 0x8F, 0x90, 0x12}};

struct ITestCalc : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Add(LONG a, LONG b, LONG* sum) = 0;
};

// Exported by the test executable; the modules find it by name and report
// "<module>:<event>" (init, attach, detach, fini).
extern "C" typedef void (*ComTestRecordFn)(const char* event);
#define COM_TEST_RECORD_SYMBOL "ComTestRecord"
