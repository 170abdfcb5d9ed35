#include "common/ErrorState.h"

#include <winbase.h>

#include <xmlsec/xmlsec.h>
#include <xmlsec/errors.h>

#include <gtest/gtest.h>

using namespace trumik::common;

namespace {

std::u16string Out(HRESULT (ErrorRecord::*method)(BSTR*) const, const ErrorRecord& record)
{
    BSTR text = nullptr;
    EXPECT_EQ((record.*method)(&text), S_OK);
    UniqueBstr owned(text);
    EXPECT_NE(text, nullptr);
    return std::u16string(View(text));
}

} // namespace

TEST(ErrorRecord, NewRecordIsEmpty)
{
    ErrorRecord record(ErrorStackId::CryptEncMessage);
    stacks::Clear(ErrorStackId::CryptEncMessage);
    EXPECT_EQ(Out(&ErrorRecord::CopyMessage, record), u"");
    EXPECT_EQ(Out(&ErrorRecord::CopyStack, record), u"");
    LONG code = 7;
    EXPECT_EQ(record.CopyCode(&code), S_OK);
    EXPECT_EQ(code, 0);
}

TEST(ErrorRecord, MessageIsCutAtTwoThousandCharactersOnlyWhenRead)
{
    ErrorRecord record(ErrorStackId::MSXmlSigner);
    std::u16string longText(2999, u'ж');
    longText += u"!";
    record.SetError(longText, -20001);
    EXPECT_EQ(Out(&ErrorRecord::CopyMessage, record), longText.substr(0, 2000));
    EXPECT_EQ(record.Message(), longText);
    LONG code = 0;
    record.CopyCode(&code);
    EXPECT_EQ(code, -20001);

    record.SetError(std::u16string(2000, u'x'), 1);
    EXPECT_EQ(Out(&ErrorRecord::CopyMessage, record).size(), 2000u);
}

TEST(ErrorRecord, ResetEmptiesTheClassStackMessageAndCode)
{
    ErrorRecord first(ErrorStackId::MSXmlVerifier);
    ErrorRecord second(ErrorStackId::MSXmlVerifier);
    first.SetError(u"сбой", 33);
    stacks::Push(ErrorStackId::MSXmlVerifier, u"отчёт");
    EXPECT_EQ(Out(&ErrorRecord::CopyStack, second), u"отчёт");
    first.Reset();
    EXPECT_EQ(Out(&ErrorRecord::CopyStack, second), u"");
    EXPECT_EQ(first.Message(), u"");
    EXPECT_EQ(first.Code(), 0);
}

TEST(ErrorStacks, PushPutsNewestFirstAndAppendOldestFirst)
{
    stacks::Clear(ErrorStackId::CryptEncMessage);
    stacks::Push(ErrorStackId::CryptEncMessage, u"one");
    stacks::Push(ErrorStackId::CryptEncMessage, u"two");
    EXPECT_EQ(stacks::Text(ErrorStackId::CryptEncMessage), u"twoone");
    stacks::Clear(ErrorStackId::XmlSigner);
    stacks::Append(ErrorStackId::XmlSigner, u"one");
    stacks::Append(ErrorStackId::XmlSigner, u"two");
    EXPECT_EQ(stacks::Text(ErrorStackId::XmlSigner), u"onetwo");
}

TEST(ErrorStacks, SystemErrorTextIsTheRussianSystemMessage)
{
    stacks::Clear(ErrorStackId::CryptEncMessage);
    SetLastError(0);
    stacks::PushSystemErrorText(ErrorStackId::CryptEncMessage);
    EXPECT_EQ(stacks::Text(ErrorStackId::CryptEncMessage), u"");

    SetLastError(ERROR_FILE_NOT_FOUND);
    std::u16string text = SystemErrorText();
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text.substr(text.size() - 2), u"\r\n");
    EXPECT_NE(text.find(u"файл"), std::u16string::npos);
    stacks::PushSystemErrorText(ErrorStackId::CryptEncMessage);
    stacks::Push(ErrorStackId::CryptEncMessage, u"после ");
    EXPECT_EQ(stacks::Text(ErrorStackId::CryptEncMessage), u"после " + text);
    SetLastError(0);
}

TEST(ErrorStacks, ExceptionTextIsPushed)
{
    stacks::Clear(ErrorStackId::MSXmlSigner);
    stacks::PushExceptionText(ErrorStackId::MSXmlSigner, "std::bad_alloc");
    EXPECT_EQ(stacks::Text(ErrorStackId::MSXmlSigner), u"std::bad_alloc");
}

TEST(LibraryCallbacks, SignerEntryWithNothingKnown)
{
    stacks::Clear(ErrorStackId::MSXmlSigner);
    MSXmlSignerErrorCallback(nullptr, 0, nullptr, nullptr, nullptr, 987654, nullptr);
    EXPECT_EQ(stacks::Text(ErrorStackId::MSXmlSigner),
              u"Функция: неизвестно Файл: неизвестно\nОбъект: неизвестно\nПредмет: неизвестно\n"
              u"Сообщение об ошибке: \n");
}

TEST(LibraryCallbacks, SignerEntriesNewestFirstWithReasonText)
{
    stacks::Clear(ErrorStackId::MSXmlSigner);
    MSXmlSignerErrorCallback("a.c", 10, "f1", "obj", "subj", 987654, "first");
    MSXmlSignerErrorCallback("b.c", 20, "f2", "obj", "subj", XMLSEC_ERRORS_R_XMLSEC_FAILED, "second");
    std::u16string second = u"Функция: f2 Файл: b.c\nОбъект: obj\nПредмет: subj\nСообщение об ошибке: "
                            u"xmlsec library function failedsecond\n";
    std::u16string first = u"Функция: f1 Файл: a.c\nОбъект: obj\nПредмет: subj\nСообщение об ошибке: first\n";
    EXPECT_EQ(stacks::Text(ErrorStackId::MSXmlSigner), second + first);
}

TEST(LibraryCallbacks, VerifierEntryCarriesLineAndReasonNumber)
{
    stacks::Clear(ErrorStackId::MSXmlVerifier);
    MSXmlVerifierErrorCallback("x.c", 42, nullptr, "o", nullptr, XMLSEC_ERRORS_R_XMLSEC_FAILED, "\xEE\xF8");
    EXPECT_EQ(stacks::Text(ErrorStackId::MSXmlVerifier),
              u"Функция: неизвестно Файл: x.c Строка: 42\nОбъект: o\nПредмет: неизвестно\n"
              u"Сообщение об ошибке: 1 xmlsec library function failedош\n");
}

TEST(LibraryCallbacks, XmlSignerEntriesOldestFirstWithoutClosingLineFeed)
{
    stacks::Clear(ErrorStackId::XmlSigner);
    XmlSignerErrorCallback("a.c", 1, "f1", nullptr, nullptr, 987654, "first");
    XmlSignerErrorCallback("b.c", 2, "f2", nullptr, nullptr, 987654, nullptr);
    EXPECT_EQ(stacks::Text(ErrorStackId::XmlSigner),
              u"\nФункция: f1 Файл: a.c\nОбъект: неизвестно\nПредмет: неизвестно\nСообщение об ошибке: first"
              u"\nФункция: f2 Файл: b.c\nОбъект: неизвестно\nПредмет: неизвестно\nСообщение об ошибке: ");
}
