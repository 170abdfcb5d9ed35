// Late binding as a script host does it: objects by ProgID, methods by name
// through IDispatch, arguments from command-line forms, results as JSON.
#pragma once

#include "JsonLine.h"

#include <objbase.h>
#include <oleauto.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trumik::host {

std::string ToUtf8(const OLECHAR* text, size_t length);

// UTF-8 in a buffer of the largest size it can have: the pages past the text
// are never touched, and a large text is never copied on its way out.
struct Utf8Buffer {
    std::unique_ptr<char[]> bytes;
    size_t size = 0;
    std::string_view View() const { return {bytes.get(), size}; }
};
Utf8Buffer ToUtf8Buffer(const OLECHAR* text, size_t length);
std::u16string FromUtf8(const std::string& text);
// A BSTR of UTF-8 text, converted in place (null when out of memory).
BSTR BstrFromUtf8(std::string_view text);
// A file's bytes in one read; "-" is standard input.
bool ReadFileBytes(const std::string& path, std::string& bytes);
std::string HResultText(HRESULT hr);
// YYYY-MM-DD[THH:MM:SS] (UTC, a real day) as an automation date; nullopt with
// *error set to the reason otherwise ("not a valid date").
std::optional<DATE> ParseDate(const std::string& text, std::string* error);

// COM initialised for the thread (apartment-threaded) while it lives.
struct ComApartment {
    ComApartment() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    ~ComApartment() { CoUninitialize(); }
};

// An IDispatch pointer released on destruction.
struct DispatchRef {
    IDispatch* p = nullptr;
    ~DispatchRef()
    {
        if (p)
            p->Release();
    }
};

// Creates an object by ProgID (or a braced CLSID) asking for IDispatch.
HRESULT CreateObject(const std::string& progId, IDispatch** object);

struct CallResult {
    Json json;            // {"hresult", "result", "error": {"message", "code", "stack"}}
    bool invoked = false; // Invoke was called
    VARIANT value;        // the result variant (owned: cleared by the destructor)
    CallResult() { VariantInit(&value); }
    ~CallResult() { VariantClear(&value); }
    CallResult(const CallResult&) = delete;
    CallResult& operator=(const CallResult&) = delete;
};

// Calls method by name with the argument forms:
//   TEXT, @PATH (file as UTF-8 text, @- standard input), null, str:TEXT,
//   int:N, date:YYYY-MM-DD[THH:MM:SS], bool:true|false, bytes:@PATH, empty
// then reads the object's last-error methods by name. A form that cannot be
// read sets *argError and returns false.
// With resultInJson false the result stays in result.value only (a caller that
// writes a large document itself need not convert it twice).
bool CallByName(IDispatch* object, const std::string& method, std::vector<std::string> args,
                CallResult& result, std::string* argError, bool resultInJson = true);

// Writes a string result as UTF-8 or a byte-array result as bytes.
bool WriteResult(const VARIANT& value, const std::string& path);

} // namespace trumik::host
