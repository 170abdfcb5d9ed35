// Error state of the automation classes: a message and a code per object, and
// one error stack per class for the whole process.
#pragma once

#include "Bstr.h"
#include "Messages.h"

#include <string>
#include <string_view>

namespace trumik::common {

// The class-wide stacks: the four of the first module's classes, then those of the
// exchange module's classes.
enum class ErrorStackId {
    CryptEncMessage,
    MSXmlSigner,
    MSXmlVerifier,
    XmlSigner,
    XmlElementSigner,
    XmlElementVerifier,
    CmsSigner
};
inline constexpr size_t kErrorStackCount = 7;

// Messages come back cut to this many characters; the stored text is unchanged.
inline constexpr size_t kMessageLimit = 2000;

namespace stacks {
// The class's stack becomes text followed by the old stack (newest first).
void Push(ErrorStackId id, std::u16string_view text);
// The text goes behind the stack (oldest first; the signer error text).
void Append(ErrorStackId id, std::u16string_view text);
void Clear(ErrorStackId id);
std::u16string Text(ErrorStackId id);
// Pushes the system's text for the calling thread's last error; nothing when
// no error is pending.
void PushSystemErrorText(ErrorStackId id);
// Pushes a caught exception's text.
void PushExceptionText(ErrorStackId id, const char* what);
} // namespace stacks

// The system's message for the calling thread's last error in UTF-16, empty
// when GetLastError is 0 or the system has no text for it.
std::u16string SystemErrorText();

// The message and code of one object of CCryptEncMessage, CMSXmlSigner or
// CMSXmlVerifier.
class ErrorRecord {
  public:
    explicit ErrorRecord(ErrorStackId stack) : stack_(stack) {}

    // Empties the class's stack, the message and the code.
    void Reset();
    // The message becomes a copy of the literal; the code is stored with it.
    void SetError(std::u16string_view message, LONG code);
    // A message of the class's table, with its code.
    void SetError(const common::Message& message) { SetError(MessageText(message), message.code); }
    void PushSystemErrorText() { stacks::PushSystemErrorText(stack_); }
    void PushExceptionText(const char* what) { stacks::PushExceptionText(stack_, what); }

    // The last-error methods of the interfaces.
    HRESULT CopyMessage(BSTR* errorMessage) const;
    HRESULT CopyCode(LONG* errorCode) const;
    HRESULT CopyStack(BSTR* errorStack) const;

    std::u16string_view Message() const { return View(message_.get()); }
    LONG Code() const { return code_; }
    ErrorStackId Stack() const { return stack_; }

  private:
    ErrorStackId stack_;
    UniqueBstr message_;
    LONG code_ = 0;
};

// Copies a message out, cut to kMessageLimit characters; empty for null.
HRESULT CopyMessageOut(std::u16string_view message, BSTR* out);

// The security library's error callbacks of the XML classes, in the
// signature of xmlSecErrorsCallback.
extern "C" {
void MSXmlSignerErrorCallback(const char* file, int line, const char* func, const char* errorObject,
                              const char* errorSubject, int reason, const char* msg);
void MSXmlVerifierErrorCallback(const char* file, int line, const char* func, const char* errorObject,
                                const char* errorSubject, int reason, const char* msg);
void XmlSignerErrorCallback(const char* file, int line, const char* func, const char* errorObject,
                            const char* errorSubject, int reason, const char* msg);
void XmlElementSignerErrorCallback(const char* file, int line, const char* func, const char* errorObject,
                                   const char* errorSubject, int reason, const char* msg);
void XmlElementVerifierErrorCallback(const char* file, int line, const char* func, const char* errorObject,
                                     const char* errorSubject, int reason, const char* msg);

// The callback that the library's one slot holds once the libraries are
// started: it hands each report to the callback chosen on the calling thread
// (SetThreadErrorCallback), or, with none, writes it on standard error.
void ThreadErrorCallback(const char* file, int line, const char* func, const char* errorObject,
                         const char* errorSubject, int reason, const char* msg);
}

using LibraryErrorCallback = void (*)(const char* file, int line, const char* func, const char* errorObject,
                                      const char* errorSubject, int reason, const char* msg);

// The callback for the library's reports made on the calling thread; returns
// the thread's previous one (null: none).
LibraryErrorCallback SetThreadErrorCallback(LibraryErrorCallback callback);

// The calling thread's callback for the guard's lifetime; the previous one
// afterwards.
class ThreadErrorReports {
  public:
    explicit ThreadErrorReports(LibraryErrorCallback callback) : previous_(SetThreadErrorCallback(callback))
    {
    }
    ~ThreadErrorReports() { SetThreadErrorCallback(previous_); }
    ThreadErrorReports(const ThreadErrorReports&) = delete;
    ThreadErrorReports& operator=(const ThreadErrorReports&) = delete;

  private:
    LibraryErrorCallback previous_;
};

} // namespace trumik::common
