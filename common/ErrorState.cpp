#include "ErrorState.h"

#include "Conversions.h"

#include <winbase.h>

#include <xmlsec/xmlsec.h>

#include <xmlsec/errors.h>

#include <array>
#include <mutex>
#include <optional>
#include <string>

namespace trumik::common {

namespace {

// The class-wide stacks, each read and replaced whole under the one lock of
// the stacks, which is held for nothing else.
std::mutex g_stacksLock;
std::array<std::u16string, kErrorStackCount> g_stacks;

thread_local LibraryErrorCallback t_errorCallback = nullptr;

std::u16string& StackOf(ErrorStackId id)
{
    return g_stacks[static_cast<size_t>(id)];
}

// Appends a narrow library text converted in the thread ANSI code page; an
// absent text is written as the placeholder when one is given.
void AppendLibraryText(std::u16string& entry, const char* text, const char16_t* placeholder)
{
    if (!text) {
        if (placeholder)
            entry += placeholder;
        return;
    }
    if (UniqueBstr converted = NarrowToBstr(text))
        entry += View(converted.get());
}

const char* ReasonText(int reason)
{
    for (xmlSecSize i = 0; i < XMLSEC_ERRORS_MAX_NUMBER && xmlSecErrorsGetMsg(i) != nullptr; ++i) {
        if (xmlSecErrorsGetCode(i) == reason)
            return xmlSecErrorsGetMsg(i);
    }
    return "";
}

std::u16string Decimal(int value)
{
    std::string text = std::to_string(value);
    return std::u16string(text.begin(), text.end());
}

enum class EntryStyle { MSXmlSigner, MSXmlVerifier, XmlSigner };

std::u16string BuildEntry(EntryStyle style, const char* file, int line, const char* func,
                          const char* errorObject, const char* errorSubject, int reason, const char* msg)
{
    static constexpr char16_t kUnknown[] = u"неизвестно";
    std::u16string entry = style == EntryStyle::XmlSigner ? u"\nФункция: " : u"Функция: ";
    AppendLibraryText(entry, func, kUnknown);
    entry += u" Файл: ";
    AppendLibraryText(entry, file, kUnknown);
    if (style == EntryStyle::MSXmlVerifier) {
        entry += u" Строка: ";
        entry += Decimal(line);
    }
    entry += u"\nОбъект: ";
    AppendLibraryText(entry, errorObject, kUnknown);
    entry += u"\nПредмет: ";
    AppendLibraryText(entry, errorSubject, kUnknown);
    entry += u"\nСообщение об ошибке: ";
    if (style == EntryStyle::MSXmlVerifier) {
        entry += Decimal(reason);
        entry += u" ";
    }
    AppendLibraryText(entry, ReasonText(reason), nullptr);
    AppendLibraryText(entry, msg, nullptr);
    if (style != EntryStyle::XmlSigner)
        entry += u"\n";
    return entry;
}

// The library's own report of an entry, on standard error. Library and
// system texts are in the thread ANSI code page; standard error here is read
// as UTF-8, so each text is handed on in UTF-8.
void ReportOnStandardError(const char* file, int line, const char* func, const char* errorObject,
                           const char* errorSubject, int reason, const char* msg)
{
    auto utf8 = [](const char* text) -> std::optional<std::string> {
        if (!text)
            return std::nullopt;
        UniqueBstr wide = NarrowToBstr(text);
        if (!wide)
            return std::string(text);
        return std::string(DocumentToUtf8(wide.get()).c_str());
    };
    auto pointer = [](const std::optional<std::string>& text) { return text ? text->c_str() : nullptr; };
    const auto f = utf8(file), fn = utf8(func), o = utf8(errorObject), sub = utf8(errorSubject),
               m = utf8(msg);
    xmlSecErrorsDefaultCallback(pointer(f), line, pointer(fn), pointer(o), pointer(sub), reason, pointer(m));
}

} // namespace

namespace stacks {

void Push(ErrorStackId id, std::u16string_view text)
{
    std::lock_guard guard(g_stacksLock);
    StackOf(id).insert(0, text);
}

void Append(ErrorStackId id, std::u16string_view text)
{
    std::lock_guard guard(g_stacksLock);
    StackOf(id).append(text);
}

void Clear(ErrorStackId id)
{
    std::lock_guard guard(g_stacksLock);
    StackOf(id).clear();
}

std::u16string Text(ErrorStackId id)
{
    std::lock_guard guard(g_stacksLock);
    return StackOf(id);
}

void PushSystemErrorText(ErrorStackId id)
{
    std::u16string text = SystemErrorText();
    if (!text.empty())
        Push(id, text);
}

void PushExceptionText(ErrorStackId id, const char* what)
{
    if (UniqueBstr text = NarrowToBstr(what ? what : ""))
        Push(id, View(text.get()));
}

} // namespace stacks

std::u16string SystemErrorText()
{
    DWORD code = ::GetLastError();
    if (code == 0)
        return {};
    char* buffer = nullptr;
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
    std::unique_ptr<char, decltype(&LocalFree)> owned(buffer, &LocalFree);
    if (length == 0 || !buffer)
        return {};
    UniqueBstr text = NarrowToBstr(buffer);
    return std::u16string(View(text.get()));
}

void ErrorRecord::Reset()
{
    stacks::Clear(stack_);
    message_ = MakeBstr(u"");
    code_ = 0;
}

void ErrorRecord::SetError(std::u16string_view message, LONG code)
{
    message_ = MakeBstr(message);
    code_ = code;
}

HRESULT CopyMessageOut(std::u16string_view message, BSTR* out)
{
    if (!out)
        return E_POINTER;
    if (message.size() > kMessageLimit)
        message = message.substr(0, kMessageLimit);
    return CopyOut(message, out) ? S_OK : E_OUTOFMEMORY;
}

HRESULT ErrorRecord::CopyMessage(BSTR* errorMessage) const
{
    return CopyMessageOut(Message(), errorMessage);
}

HRESULT ErrorRecord::CopyCode(LONG* errorCode) const
{
    if (!errorCode)
        return E_POINTER;
    *errorCode = code_;
    return S_OK;
}

HRESULT ErrorRecord::CopyStack(BSTR* errorStack) const
{
    if (!errorStack)
        return E_POINTER;
    return CopyOut(stacks::Text(stack_), errorStack) ? S_OK : E_OUTOFMEMORY;
}

namespace {

// A report of the library as an entry on a class's stack (behind it for the
// signer error text), then on standard error.
void RecordReport(ErrorStackId id, EntryStyle style, const char* file, int line, const char* func,
                  const char* errorObject, const char* errorSubject, int reason, const char* msg)
{
    try {
        std::u16string entry = BuildEntry(style, file, line, func, errorObject, errorSubject, reason, msg);
        if (style == EntryStyle::XmlSigner)
            stacks::Append(id, entry);
        else
            stacks::Push(id, entry);
    } catch (...) {
        // The entry is lost; the library's own report still follows.
    }
    ReportOnStandardError(file, line, func, errorObject, errorSubject, reason, msg);
}

} // namespace

extern "C" {

void MSXmlSignerErrorCallback(const char* file, int line, const char* func, const char* errorObject,
                              const char* errorSubject, int reason, const char* msg)
{
    RecordReport(ErrorStackId::MSXmlSigner, EntryStyle::MSXmlSigner, file, line, func, errorObject,
                 errorSubject, reason, msg);
}

void MSXmlVerifierErrorCallback(const char* file, int line, const char* func, const char* errorObject,
                                const char* errorSubject, int reason, const char* msg)
{
    RecordReport(ErrorStackId::MSXmlVerifier, EntryStyle::MSXmlVerifier, file, line, func, errorObject,
                 errorSubject, reason, msg);
}

void XmlSignerErrorCallback(const char* file, int line, const char* func, const char* errorObject,
                            const char* errorSubject, int reason, const char* msg)
{
    RecordReport(ErrorStackId::XmlSigner, EntryStyle::XmlSigner, file, line, func, errorObject, errorSubject,
                 reason, msg);
}

void XmlElementSignerErrorCallback(const char* file, int line, const char* func, const char* errorObject,
                                   const char* errorSubject, int reason, const char* msg)
{
    RecordReport(ErrorStackId::XmlElementSigner, EntryStyle::MSXmlSigner, file, line, func, errorObject,
                 errorSubject, reason, msg);
}

void XmlElementVerifierErrorCallback(const char* file, int line, const char* func, const char* errorObject,
                                     const char* errorSubject, int reason, const char* msg)
{
    RecordReport(ErrorStackId::XmlElementVerifier, EntryStyle::MSXmlSigner, file, line, func, errorObject,
                 errorSubject, reason, msg);
}

void ThreadErrorCallback(const char* file, int line, const char* func, const char* errorObject,
                         const char* errorSubject, int reason, const char* msg)
{
    if (LibraryErrorCallback callback = t_errorCallback)
        callback(file, line, func, errorObject, errorSubject, reason, msg);
    else
        ReportOnStandardError(file, line, func, errorObject, errorSubject, reason, msg);
}
}

LibraryErrorCallback SetThreadErrorCallback(LibraryErrorCallback callback)
{
    LibraryErrorCallback previous = t_errorCallback;
    t_errorCallback = callback;
    return previous;
}

} // namespace trumik::common
