// Encryption and decryption of CMS messages: argument checks and their order,
// round trips through bytes and text, passwords, the user and machine stores,
// the 3.0 provider path, damaged input, and interop with openssl cms.
#include "GostIdentity.h"

#include "common/Thumbprint.h"
#include "cryptmsg/CryptEncMessage.h"
#include "cryptmsg/MessageTextCodec.h"
#include "csp/Containers.h"
#include "kernel/CodePages.h"

#include "testing/TestHome.h"

#include <gtest/gtest.h>
#include <winnls.h>
#include <winreg.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <random>
#include <vector>

using namespace trumik;
using namespace trumik::cryptmsgtest;
using cryptmsg::CCryptEncMessage;
namespace tt = trumik::testing;

namespace {

constexpr char kPin[] = "1234";
// The system's text for SCARD_W_WRONG_CHV, as the error stack holds it.
constexpr char16_t kWrongPinText[] = u"Был введен неверный PIN-код.\r\n";

// A VT_ARRAY | VT_UI1 variant that owns its array.
class ByteVariant {
  public:
    explicit ByteVariant(const std::string& bytes)
    {
        VariantInit(&v_);
        SAFEARRAYBOUND bound{static_cast<ULONG>(bytes.size()), 0};
        v_.vt = VT_ARRAY | VT_UI1;
        v_.parray = SafeArrayCreate(VT_UI1, 1, &bound);
        void* data = nullptr;
        SafeArrayAccessData(v_.parray, &data);
        if (!bytes.empty())
            memcpy(data, bytes.data(), bytes.size());
        SafeArrayUnaccessData(v_.parray);
    }
    ByteVariant() { VariantInit(&v_); }
    ~ByteVariant() { VariantClear(&v_); }
    ByteVariant(const ByteVariant&) = delete;
    ByteVariant& operator=(const ByteVariant&) = delete;
    VARIANT* get() { return &v_; }
    LONG size() const { return v_.parray ? static_cast<LONG>(v_.parray->rgsabound[0].cElements) : 0; }
    std::string bytes() const
    {
        if (v_.vt != (VT_ARRAY | VT_UI1) || !v_.parray)
            return "<not a byte array>";
        void* data = nullptr;
        SafeArrayAccessData(v_.parray, &data);
        std::string out(static_cast<const char*>(data), v_.parray->rgsabound[0].cElements);
        SafeArrayUnaccessData(v_.parray);
        return out;
    }

  private:
    VARIANT v_;
};

struct Result {
    HRESULT status = E_FAIL;
    LONG code = -1;
    std::u16string message, stack;
    std::string bytes;    // byte methods
    std::u16string text;  // text methods
    bool written = false; // out_message was written
};

void ReadRecord(const CCryptEncMessage& object, Result& r)
{
    r.code = object.Record().Code();
    r.message = object.Record().Message();
    r.stack = common::stacks::Text(common::ErrorStackId::CryptEncMessage);
}

Result EncryptBytes(CCryptEncMessage& object, BSTR store, BSTR hash, LONG length, VARIANT* input)
{
    Result r;
    VARIANT out;
    VariantInit(&out);
    r.status = object.CryptMessageByte(store, hash, length, input, &out);
    r.written = out.vt != VT_EMPTY;
    if (out.vt == (VT_ARRAY | VT_UI1)) {
        void* data = nullptr;
        SafeArrayAccessData(out.parray, &data);
        r.bytes.assign(static_cast<const char*>(data), out.parray->rgsabound[0].cElements);
        SafeArrayUnaccessData(out.parray);
        EXPECT_EQ(SafeArrayGetDim(out.parray), 1u);
        EXPECT_EQ(out.parray->rgsabound[0].lLbound, 0);
    }
    VariantClear(&out);
    ReadRecord(object, r);
    return r;
}

Result DecryptBytes(CCryptEncMessage& object, BSTR store, BSTR hash, BSTR password, LONG length,
                    VARIANT* input)
{
    Result r;
    VARIANT out;
    VariantInit(&out);
    r.status = object.DecryptMessageByte(store, hash, password, length, input, &out);
    r.written = out.vt != VT_EMPTY;
    if (out.vt == (VT_ARRAY | VT_UI1)) {
        void* data = nullptr;
        SafeArrayAccessData(out.parray, &data);
        r.bytes.assign(static_cast<const char*>(data), out.parray->rgsabound[0].cElements);
        SafeArrayUnaccessData(out.parray);
    }
    VariantClear(&out);
    ReadRecord(object, r);
    return r;
}

Result Encrypt(const GostIdentity& id, const std::string& plain)
{
    CCryptEncMessage object;
    ByteVariant input(plain);
    return EncryptBytes(object, Bstr("My").get(), Bstr(id.thumbprint).get(), input.size(), input.get());
}

Result Decrypt(const GostIdentity& id, const std::string& message, const char* password = kPin)
{
    CCryptEncMessage object;
    ByteVariant input(message);
    common::UniqueBstr pass = password ? Bstr(password) : nullptr;
    return DecryptBytes(object, Bstr("My").get(), Bstr(id.thumbprint).get(), pass.get(), input.size(),
                        input.get());
}

std::string Base64(const std::string& bytes)
{
    LONG length =
        cryptmsg::MessageTextEncodedLength(static_cast<LONG>(bytes.size()), cryptmsg::kTextNoLineBreaks);
    std::string text(static_cast<size_t>(length) + 1, '\0');
    static const BYTE none = 0;
    cryptmsg::MessageTextEncode(bytes.empty() ? &none : reinterpret_cast<const BYTE*>(bytes.data()),
                                static_cast<LONG>(bytes.size()), text.data(), &length,
                                cryptmsg::kTextNoLineBreaks);
    text.resize(static_cast<size_t>(length));
    return text;
}

std::string Unbase64(const std::u16string& text)
{
    std::string narrow(text.begin(), text.end());
    LONG size = 0;
    cryptmsg::MessageTextDecode(narrow.data(), static_cast<LONG>(narrow.size()), nullptr, &size);
    std::string bytes(static_cast<size_t>(size) + 1, '\0');
    cryptmsg::MessageTextDecode(narrow.data(), static_cast<LONG>(narrow.size()),
                                reinterpret_cast<BYTE*>(bytes.data()), &size);
    bytes.resize(static_cast<size_t>(size));
    return bytes;
}

Result EncryptText(const GostIdentity& id, const std::u16string& text)
{
    CCryptEncMessage object;
    Result r;
    BSTR out = nullptr;
    common::UniqueBstr input = common::MakeBstr(text);
    r.status = object.CryptMessage(Bstr("My").get(), Bstr(id.thumbprint).get(), input.get(), &out);
    r.written = out != nullptr;
    r.text = common::View(out);
    SysFreeString(out);
    ReadRecord(object, r);
    return r;
}

Result DecryptText(const std::string& thumbprint, const std::u16string& text, const char* password = kPin,
                   const char* container = nullptr)
{
    CCryptEncMessage object;
    Result r;
    BSTR out = nullptr;
    common::UniqueBstr input = common::MakeBstr(text);
    common::UniqueBstr pass = password ? Bstr(password) : nullptr;
    common::UniqueBstr cont = container ? Bstr(container) : nullptr;
    r.status = object.DecryptMessage(Bstr("My").get(), Bstr(thumbprint).get(), cont.get(), pass.get(),
                                     input.get(), &out);
    r.written = out != nullptr;
    r.text = common::View(out);
    SysFreeString(out);
    ReadRecord(object, r);
    return r;
}

std::u16string Wide(const std::string& ascii)
{
    return std::u16string(ascii.begin(), ascii.end());
}

std::string RandomBytes(size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random());
    return bytes;
}

class CryptMsgMessages : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { holder_ = MakeGostIdentity("holder", WithPin(kPin)); }
    static void TearDownTestSuite() { holder_.reset(); }
    static const GostIdentity& Holder() { return *holder_; }

  private:
    static std::optional<GostIdentity> holder_;
};

std::optional<GostIdentity> CryptMsgMessages::holder_;

} // namespace

TEST_F(CryptMsgMessages, ByteArgumentsAreCheckedInOrder)
{
    CCryptEncMessage object;
    ByteVariant input("data");
    auto store = Bstr("My"), hash = Bstr(Holder().thumbprint);
    Result r = EncryptBytes(object, nullptr, nullptr, 4, input.get());
    EXPECT_EQ(r.status, S_FALSE);
    EXPECT_EQ(r.code, 80001);
    EXPECT_EQ(r.message, u"Неверно заданы входные параметры. Не задано значение наименования системного "
                         u"хранилища.(Код ошибки - 80001)");
    r = EncryptBytes(object, store.get(), nullptr, 4, input.get());
    EXPECT_EQ(r.code, 80002);
    EXPECT_EQ(r.status, S_FALSE);

    SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
    VARIANT twoDims;
    VariantInit(&twoDims);
    twoDims.vt = VT_ARRAY | VT_UI1;
    twoDims.parray = SafeArrayCreate(VT_UI1, 2, bounds);
    r = EncryptBytes(object, store.get(), hash.get(), 4, &twoDims);
    EXPECT_EQ(r.status, S_FALSE);
    EXPECT_EQ(r.code, 80003);
    EXPECT_EQ(
        r.message,
        u"Неверно заданы входные параметры. Размерность входного массива не равна 1.(Код ошибки - 80003)");
    ByteVariant empty;
    r = EncryptBytes(object, store.get(), hash.get(), 4, empty.get());
    EXPECT_EQ(r.code, 80003) << "a variant without an array";
    r = EncryptBytes(object, store.get(), hash.get(), 4, nullptr);
    EXPECT_EQ(r.code, 80003);
    VARIANT number;
    VariantInit(&number);
    number.vt = VT_I4;
    number.lVal = 0x1000;
    r = EncryptBytes(object, store.get(), hash.get(), 4, &number);
    EXPECT_EQ(r.code, 80003) << "a number is not taken for an array";

    for (LONG length : {-1, 5, INT32_MAX}) {
        r = EncryptBytes(object, store.get(), hash.get(), length, input.get());
        EXPECT_EQ(r.status, S_FALSE) << length;
        EXPECT_EQ(r.code, 80004) << length;
        EXPECT_EQ(r.message,
                  u"Неверно заданы входные параметры. Невозможно обработать входной массив байтов.(Код "
                  u"ошибки - 80004)");
        EXPECT_FALSE(r.written);
    }
    // The input array is unlocked again on every path.
    EXPECT_EQ(SafeArrayDestroy(input.get()->parray), S_OK);
    input.get()->vt = VT_EMPTY;

    r = DecryptBytes(object, nullptr, nullptr, nullptr, 4, &twoDims);
    EXPECT_EQ(r.code, 82000);
    EXPECT_EQ(r.status, S_FALSE);
    r = DecryptBytes(object, store.get(), nullptr, nullptr, 4, &twoDims);
    EXPECT_EQ(r.code, 82001);
    r = DecryptBytes(object, store.get(), hash.get(), nullptr, 4, &twoDims);
    EXPECT_EQ(r.code, 82002);
    EXPECT_EQ(r.status, S_FALSE);
    r = DecryptBytes(object, store.get(), hash.get(), nullptr, 4, &number);
    EXPECT_EQ(r.code, 82002);
    ByteVariant small("abc");
    r = DecryptBytes(object, store.get(), hash.get(), nullptr, 4, small.get());
    EXPECT_EQ(r.code, 82003);
    EXPECT_EQ(r.status, S_FALSE);
    r = DecryptBytes(object, store.get(), hash.get(), nullptr, -8, small.get());
    EXPECT_EQ(r.code, 82003);
    EXPECT_EQ(r.message, u"Неверно заданы входные параметры. Невозможно обработать входной массив "
                         u"байтов.(Код ошибки - 82003)");
    VariantClear(&twoDims);
}

TEST_F(CryptMsgMessages, TextArgumentsAreCheckedInOrder)
{
    CCryptEncMessage object;
    BSTR out = nullptr;
    EXPECT_EQ(object.CryptMessage(nullptr, nullptr, nullptr, &out), S_FALSE);
    EXPECT_EQ(object.Record().Code(), 80001);
    EXPECT_EQ(object.CryptMessage(Bstr("My").get(), nullptr, nullptr, &out), S_FALSE);
    EXPECT_EQ(object.Record().Code(), 80002);
    EXPECT_EQ(object.DecryptMessage(nullptr, nullptr, nullptr, nullptr, nullptr, &out), S_FALSE);
    EXPECT_EQ(object.Record().Code(), 82000);
    EXPECT_EQ(object.DecryptMessage(Bstr("My").get(), nullptr, nullptr, nullptr, nullptr, &out), S_FALSE);
    EXPECT_EQ(object.Record().Code(), 82001);
    EXPECT_EQ(out, nullptr);
    // An unknown thumbprint: the certificate steps fail with status 0.
    Result r = DecryptText(std::string(40, 'F'), u"AAAA");
    EXPECT_EQ(r.status, S_OK);
    EXPECT_EQ(r.code, 83003);
    EXPECT_FALSE(r.written);
}

TEST_F(CryptMsgMessages, BytesRoundTrip)
{
    for (size_t size : {size_t(0), size_t(1), size_t(1) << 20}) {
        const std::string plain = RandomBytes(size, static_cast<unsigned>(size));
        Result e = Encrypt(Holder(), plain);
        ASSERT_EQ(e.status, S_OK) << size;
        ASSERT_EQ(e.code, 0) << common::stacks::Text(common::ErrorStackId::CryptEncMessage).size();
        EXPECT_EQ(e.message, u"");
        EXPECT_EQ(e.stack, u"");
        Result d = Decrypt(Holder(), e.bytes);
        ASSERT_EQ(d.code, 0) << Utf8(d.message) << Utf8(d.stack);
        EXPECT_EQ(d.status, S_OK);
        EXPECT_EQ(d.bytes, plain) << size;
    }
    // An array held by reference (VT_BYREF | VT_ARRAY) is read through its reference.
    {
        CCryptEncMessage object;
        ByteVariant array("by reference");
        VARIANT reference;
        VariantInit(&reference);
        reference.vt = VT_BYREF | VT_ARRAY | VT_UI1;
        reference.pparray = &array.get()->parray;
        Result e = EncryptBytes(object, Bstr("My").get(), Bstr(Holder().thumbprint).get(), 12, &reference);
        ASSERT_EQ(e.code, 0);
        EXPECT_EQ(Decrypt(Holder(), e.bytes).bytes, "by reference");
    }
    // Only in_message_len bytes from the start of the array are taken.
    CCryptEncMessage object;
    ByteVariant input("abcdef");
    Result e = EncryptBytes(object, Bstr("My").get(), Bstr(Holder().thumbprint).get(), 3, input.get());
    ASSERT_EQ(e.code, 0);
    ByteVariant message(e.bytes + "trailing");
    Result d = DecryptBytes(object, Bstr("My").get(), Bstr(Holder().thumbprint).get(), Bstr(kPin).get(),
                            static_cast<LONG>(e.bytes.size()), message.get());
    ASSERT_EQ(d.code, 0) << Utf8(d.message);
    EXPECT_EQ(d.bytes, "abc");
}

TEST_F(CryptMsgMessages, TextRoundTripGivesCanonicalBase64)
{
    const std::string plain = RandomBytes(1000, 3);
    std::string canonical = Base64(plain);
    // Line breaks, spaces and inner padding are skipped by the decoder.
    std::string loose;
    for (size_t i = 0; i < canonical.size(); i += 4)
        loose += canonical.substr(i, 4) + (i % 76 == 72 ? "\r\n" : i % 3 == 0 ? " " : "");
    Result e = EncryptText(Holder(), Wide(loose));
    ASSERT_EQ(e.code, 0) << Utf8(e.message);
    EXPECT_EQ(e.status, S_OK);
    EXPECT_EQ(e.text.find(u'\n'), std::u16string::npos);
    Result d = DecryptText(Holder().thumbprint, e.text);
    ASSERT_EQ(d.code, 0) << Utf8(d.message) << Utf8(d.stack);
    EXPECT_EQ(d.text, Wide(canonical));

    // Inner padding does not end a group: "YQ==YQ==" is three bytes.
    e = EncryptText(Holder(), u"YQ==YQ==");
    d = DecryptText(Holder().thumbprint, e.text);
    EXPECT_EQ(d.text, u"YQYQ");

    // Bytes and text forms of the same message are interchangeable.
    Result bytes = Encrypt(Holder(), "interchange");
    d = DecryptText(Holder().thumbprint, Wide(Base64(bytes.bytes)));
    EXPECT_EQ(Unbase64(d.text), "interchange");
    e = EncryptText(Holder(), Wide(Base64("the other way")));
    Result back = Decrypt(Holder(), Unbase64(e.text));
    EXPECT_EQ(back.bytes, "the other way");

    // An empty or absent text encrypts zero bytes.
    for (bool absent : {false, true}) {
        CCryptEncMessage object;
        BSTR out = nullptr;
        common::UniqueBstr empty = Bstr("");
        ASSERT_EQ(object.CryptMessage(Bstr("My").get(), Bstr(Holder().thumbprint).get(),
                                      absent ? nullptr : empty.get(), &out),
                  S_OK);
        ASSERT_EQ(object.Record().Code(), 0);
        d = DecryptText(Holder().thumbprint, std::u16string(common::View(out)));
        SysFreeString(out);
        EXPECT_EQ(d.code, 0);
        EXPECT_EQ(d.text, u"");
        EXPECT_TRUE(d.written);
    }
}

TEST_F(CryptMsgMessages, Passwords)
{
    const std::string pin40(40, 'p');
    GostIdentity longPin = MakeGostIdentity("long-pin", WithPin(pin40));
    Result message = Encrypt(longPin, "secret");
    ASSERT_EQ(message.code, 0);
    const std::u16string text = Wide(Base64(message.bytes));

    // Only the first 40 characters of a longer password are the PIN.
    const std::string longer = pin40 + "ignored";
    Result d = Decrypt(longPin, message.bytes, longer.c_str());
    EXPECT_EQ(d.code, 0) << Utf8(d.message) << Utf8(d.stack);
    EXPECT_EQ(d.bytes, "secret");
    d = DecryptText(longPin.thumbprint, text, longer.c_str());
    EXPECT_EQ(d.code, 0);
    EXPECT_EQ(Unbase64(d.text), "secret");

    // The provider checks a password, the empty one too, as it is set: the
    // "PIN refused" codes, with the system's text on the stack. Without a
    // password no PIN is set, and the key is refused in the decryption pass.
    struct Refusal {
        const char* password;
        LONG bytesCode, textCode;
        const char16_t *bytesMessage, *textMessage, *textStack;
    };
    const Refusal refusals[] = {
        {"wrong", 82011, 82013, u"Не удалось установить пароль для ключа.(Код ошибки - 82011)",
         u"Не удалось установить пароль для ключа.(Код ошибки - 82013)", kWrongPinText},
        {"", 82011, 82013, u"Не удалось установить пароль для ключа.(Код ошибки - 82011)",
         u"Не удалось установить пароль для ключа.(Код ошибки - 82013)", kWrongPinText},
        {nullptr, 82017, 82019, u"Не удалось расшифровать данные.(Код ошибки - 82017)",
         u"Неверно задан пароль для контейнера.(Код ошибки - 82019)", u""},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.password ? r.password : "<absent>");
        for (bool asText : {false, true}) {
            d = asText ? DecryptText(longPin.thumbprint, text, r.password)
                       : Decrypt(longPin, message.bytes, r.password);
            EXPECT_EQ(d.status, S_OK);
            EXPECT_EQ(d.code, asText ? r.textCode : r.bytesCode);
            EXPECT_EQ(d.message, asText ? r.textMessage : r.bytesMessage);
            EXPECT_EQ(d.stack, asText ? r.textStack : kWrongPinText);
            EXPECT_FALSE(d.written);
        }
    }

    // A container without a PIN opens with or without a password.
    GostIdentity open = MakeGostIdentity("no-pin");
    message = Encrypt(open, "plain");
    EXPECT_EQ(Decrypt(open, message.bytes, nullptr).bytes, "plain");
}

TEST_F(CryptMsgMessages, UnusableRecipients)
{
    GostIdentity signature = MakeGostIdentity("m-sign", WithKeySpec(AT_SIGNATURE));
    Result r = Encrypt(signature, "x");
    EXPECT_EQ(r.status, S_OK);
    EXPECT_EQ(r.code, 81011);
    EXPECT_FALSE(r.written);
    GostIdentity noProvInfo = MakeGostIdentity("m-noinfo", WithoutProvInfo(false));
    r = Encrypt(noProvInfo, "x");
    EXPECT_EQ(r.code, 81005);
    EXPECT_EQ(r.message,
              u"Невозможно выбрать свойства ключа для указанного сертификата.(Код ошибки - 81005)");
    GostIdentity missing;
    missing.thumbprint = std::string(40, '0');
    r = Encrypt(missing, "x");
    EXPECT_EQ(r.code, 81003);
    EXPECT_EQ(r.message,
              u"Не удалось обнаружить указанный сертификат в хранилище сертификатов.(Код ошибки - 81003)");
    r = Decrypt(noProvInfo, "x");
    EXPECT_EQ(r.code, 83005);
    EXPECT_EQ(r.status, S_OK);
}

TEST_F(CryptMsgMessages, MachineStoreCertificates)
{
    GostIdentity machine = MakeGostIdentity("mach", At(Location::Machine, true));
    Result message = Encrypt(machine, "for the machine");
    ASSERT_EQ(message.code, 0) << Utf8(message.message);
    const std::u16string text = Wide(Base64(message.bytes));

    // The text method decrypts against the machine store with the machine's container.
    Result d = DecryptText(machine.thumbprint, text, nullptr);
    EXPECT_EQ(d.code, 0) << Utf8(d.message) << Utf8(d.stack);
    EXPECT_EQ(Unbase64(d.text), "for the machine");
    // So does a container named by the caller (a machine container).
    d = DecryptText(machine.thumbprint, text, nullptr, "mach");
    EXPECT_EQ(d.code, 0) << Utf8(d.message) << Utf8(d.stack);
    // The byte method takes the container without the machine flag.
    d = Decrypt(machine, message.bytes, nullptr);
    EXPECT_EQ(d.code, 82009);
    EXPECT_EQ(d.message, u"Невозможно инициализировать контекст криптопровайдера.(Код ошибки - 82009)");

    // A machine certificate whose container is the user's: the byte method
    // finds the key but decrypts against the user store only.
    GostIdentity mixed = MakeGostIdentity("mixed", At(Location::Machine, false));
    message = Encrypt(mixed, "mixed");
    ASSERT_EQ(message.code, 0);
    d = Decrypt(mixed, message.bytes, nullptr);
    EXPECT_EQ(d.code, 82017);

    // A named container makes the text method use the machine store only: the
    // holder's certificate is not there.
    message = Encrypt(Holder(), "user only");
    d = DecryptText(Holder().thumbprint, Wide(Base64(message.bytes)), kPin, "mach");
    EXPECT_EQ(d.code, 82021);
    EXPECT_EQ(d.message, u"Не удалось найти сертификат с привязкой к закрытому ключу.(Код ошибки - 82021)");
}

TEST_F(CryptMsgMessages, OldProviderPath)
{
    ProviderVersionGuard version(0x300);
    GostIdentity fits = MakeGostIdentity(std::string(52, 'f'), WithPin(kPin));
    GostIdentity tooLong = MakeGostIdentity(std::string(53, 'g'));
    Result message = Encrypt(fits, "old provider");
    ASSERT_EQ(message.code, 0);
    Result d = DecryptText(fits.thumbprint, Wide(Base64(message.bytes)));
    EXPECT_EQ(d.code, 0) << Utf8(d.message) << Utf8(d.stack);
    EXPECT_EQ(Unbase64(d.text), "old provider");

    message = Encrypt(tooLong, "too long");
    ASSERT_EQ(message.code, 0);
    d = DecryptText(tooLong.thumbprint, Wide(Base64(message.bytes)), nullptr);
    EXPECT_EQ(d.code, 82008);
    EXPECT_EQ(d.message,
              u"Имя контейнера содержит больше, чем 64 байта. Для версии CSP 3.0 необходимо уменьшить "
              u"длину контейнера до 64-х байт. (Код ошибки - 82008)");

    csp::DeleteContainer(csp::Scope::User, tooLong.container);
    d = DecryptText(tooLong.thumbprint, Wide(Base64(message.bytes)), nullptr);
    EXPECT_EQ(d.code, 82008);
    EXPECT_EQ(d.message,
              u"Невозможно выбрать наименование контейнера. Возможно не вставлен ключевой носитель. (Код "
              u"ошибки - 82008)");
}

TEST_F(CryptMsgMessages, DamagedMessagesAreRefused)
{
    Result good = Encrypt(Holder(), RandomBytes(300, 9));
    ASSERT_EQ(good.code, 0);
    std::vector<std::string> bad = {RandomBytes(1, 1),
                                    RandomBytes(64, 2),
                                    RandomBytes(4096, 3),
                                    "",
                                    good.bytes.substr(0, good.bytes.size() / 2),
                                    good.bytes.substr(0, 10),
                                    good.bytes.substr(0, good.bytes.size() - 1)};
    for (size_t i = 0; i < bad.size(); ++i) {
        SCOPED_TRACE(i);
        Result d = Decrypt(Holder(), bad[i]);
        EXPECT_EQ(d.status, S_OK);
        EXPECT_TRUE(d.code == 82013 || d.code == 82017) << d.code;
        EXPECT_FALSE(d.written);
        d = DecryptText(Holder().thumbprint, Wide(Base64(bad[i])));
        EXPECT_EQ(d.status, S_OK);
        EXPECT_TRUE(d.code == 82015 || d.code == 82023) << d.code;
        EXPECT_FALSE(d.written);
    }
    // The cipher carries no integrity check: a changed byte of the encrypted
    // content gives changed plain data, not a failure.
    std::string flipped = good.bytes;
    flipped[flipped.size() - 5] ^= 0x40;
    Result d = Decrypt(Holder(), flipped);
    EXPECT_EQ(d.code, 0);
    EXPECT_EQ(d.bytes.size(), 300u);
    EXPECT_NE(d.bytes, RandomBytes(300, 9));
}

TEST_F(CryptMsgMessages, InteropWithOpensslCms)
{
    auto dir = tt::MakeTempDir("cms");
    const std::string d = dir.string();
    const std::string plain = RandomBytes(5000, 11);
    tt::WriteFile(dir / "plain.bin", plain);

    // openssl opens what CryptMessageByte makes, with the holder's key.
    Result message = Encrypt(Holder(), plain);
    ASSERT_EQ(message.code, 0);
    tt::WriteFile(dir / "ours.der", message.bytes);
    std::string output;
    ASSERT_EQ(tt::RunCommand("openssl cms -decrypt -engine gost -inform DER -in " + d + "/ours.der -recip " +
                                 Holder().certPem.string() + " -inkey " + Holder().keyPem.string() +
                                 " -out " + d + "/ours.plain",
                             &output),
              0)
        << output;
    EXPECT_EQ(tt::ReadFile(dir / "ours.plain"), plain);

    // What openssl cms -encrypt -gost89 makes opens with both decryptions.
    ASSERT_EQ(tt::RunCommand("openssl cms -encrypt -engine gost -gost89 -binary -outform DER -in " + d +
                                 "/plain.bin -out " + d + "/theirs.der " + Holder().certPem.string(),
                             &output),
              0)
        << output;
    const std::string theirs = tt::ReadFile(dir / "theirs.der");
    Result r = Decrypt(Holder(), theirs);
    EXPECT_EQ(r.code, 0) << Utf8(r.message) << Utf8(r.stack);
    EXPECT_EQ(r.bytes, plain);
    r = DecryptText(Holder().thumbprint, Wide(Base64(theirs)));
    EXPECT_EQ(r.code, 0) << Utf8(r.message);
    EXPECT_EQ(r.text, Wide(Base64(plain)));

    // A message for a certificate that no store holds.
    GostIdentity stranger = MakeGostIdentity("stranger");
    ASSERT_EQ(tt::RunCommand("openssl cms -encrypt -engine gost -gost89 -binary -outform DER -in " + d +
                                 "/plain.bin -out " + d + "/other.der " + stranger.certPem.string(),
                             &output),
              0);
    HCERTSTORE store = CertOpenSystemStoreA(0, "My");
    std::array<BYTE, 20> hash{};
    common::ParseThumbprint(Bstr(stranger.thumbprint).get(), hash);
    CRYPT_HASH_BLOB blob{20, hash.data()};
    PCCERT_CONTEXT cert =
        CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &blob, nullptr);
    ASSERT_NE(cert, nullptr);
    CertDeleteCertificateFromStore(cert);
    CertCloseStore(store, 0);
    const std::string other = tt::ReadFile(dir / "other.der");
    r = Decrypt(Holder(), other);
    EXPECT_EQ(r.code, 82017);
    r = DecryptText(Holder().thumbprint, Wide(Base64(other)));
    EXPECT_EQ(r.code, 82021);
}

TEST_F(CryptMsgMessages, InformationWithoutAContainerIsAFailure)
{
    auto dir = tt::MakeTempDir("unnamed");
    GostIdentity unnamed = MakeGostIdentity("m-unnamed", WithoutProvInfo(true));
    std::string output;
    ASSERT_EQ(tt::RunCommand("openssl cms -encrypt -engine gost -gost89 -binary -outform DER -in " +
                                 unnamed.certPem.string() + " -out " + dir.string() + "/m.der " +
                                 unnamed.certPem.string(),
                             &output),
              0)
        << output;
    const std::string message = tt::ReadFile(dir / "m.der");

    Result r = Decrypt(unnamed, message);
    EXPECT_EQ(r.status, S_OK);
    EXPECT_EQ(r.code, 82009);
    EXPECT_EQ(r.message, u"Невозможно инициализировать контекст криптопровайдера.(Код ошибки - 82009)");
    EXPECT_FALSE(r.written);
    r = DecryptText(unnamed.thumbprint, Wide(Base64(message)));
    EXPECT_EQ(r.status, S_OK);
    EXPECT_EQ(r.code, 82009);
    EXPECT_EQ(r.message, u"Невозможно инициализировать контекст криптопровайдера.(Код ошибки - 82009)");
    EXPECT_NE(r.stack, u"") << "the provider's reason is on the stack";
    EXPECT_FALSE(r.written);
}

// The class hands the store name to CertOpenSystemStoreA in the ANSI code
// page; a Cyrillic name must reach the same store, not a new one.
TEST_F(CryptMsgMessages, CyrillicStoreNames)
{
    const std::string storeUtf8 = "Личное";
    IdentityOptions options = WithPin(kPin);
    options.store = storeUtf8;
    GostIdentity id = MakeGostIdentity("m-cyrillic", options);
    auto storeNames = [] {
        std::vector<std::u16string> names;
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Microsoft\\SystemCertificates", 0, KEY_READ, &key) !=
            ERROR_SUCCESS)
            return names;
        char16_t name[256];
        for (DWORD i = 0;; ++i) {
            DWORD size = 256;
            if (RegEnumKeyExW(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                break;
            names.emplace_back(name, size);
        }
        RegCloseKey(key);
        return names;
    };
    const auto before = storeNames();
    ASSERT_NE(std::find(before.begin(), before.end(), u"Личное"), before.end());

    auto store = common::MakeBstr(u"Личное");
    auto hash = Bstr(id.thumbprint);
    CCryptEncMessage object;
    ByteVariant input("для Личного");
    Result e = EncryptBytes(object, store.get(), hash.get(), input.size(), input.get());
    ASSERT_EQ(e.code, 0) << Utf8(e.message) << Utf8(e.stack);
    ByteVariant message(e.bytes);
    auto pin = Bstr(kPin);
    Result d = DecryptBytes(object, store.get(), hash.get(), pin.get(), message.size(), message.get());
    EXPECT_EQ(d.code, 0) << Utf8(d.message) << Utf8(d.stack);
    EXPECT_EQ(d.bytes, "для Личного");

    BSTR text = nullptr;
    common::UniqueBstr plain = common::MakeBstr(u"0KLQtdC60YHRgg==");
    ASSERT_EQ(object.CryptMessage(store.get(), hash.get(), plain.get(), &text), S_OK);
    common::UniqueBstr encrypted(text);
    ASSERT_EQ(object.Record().Code(), 0) << Utf8(object.Record().Message());
    text = nullptr;
    ASSERT_EQ(object.DecryptMessage(store.get(), hash.get(), nullptr, pin.get(), encrypted.get(), &text),
              S_OK);
    common::UniqueBstr decrypted(text);
    EXPECT_EQ(object.Record().Code(), 0) << Utf8(object.Record().Message());
    EXPECT_EQ(common::View(decrypted.get()), u"0KLQtdC60YHRgg==");

    text = nullptr;
    ASSERT_EQ(object.GetContainerName(store.get(), hash.get(), &text), S_OK);
    common::UniqueBstr container(text);
    EXPECT_EQ(object.Record().Code(), 0) << Utf8(object.Record().Message());
    EXPECT_EQ(common::View(container.get()), u"m-cyrillic");

    EXPECT_EQ(storeNames(), before) << "no other store was made";
}

// The system ANSI code page set to UTF-8 for the life of the guard.
class Utf8AnsiCodePage {
  public:
    Utf8AnsiCodePage()
    {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        const char16_t value[] = u"65001";
        EXPECT_EQ(RegSetValueExW(key, u"ACP", 0, REG_SZ, reinterpret_cast<const BYTE*>(value), sizeof value),
                  ERROR_SUCCESS);
        RegCloseKey(key);
        trumik::platform::ReloadSystemAnsiCodePage();
    }
    ~Utf8AnsiCodePage()
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
            RegDeleteValueW(key, u"ACP");
            RegCloseKey(key);
        }
        trumik::platform::ReloadSystemAnsiCodePage();
    }
    Utf8AnsiCodePage(const Utf8AnsiCodePage&) = delete;
    Utf8AnsiCodePage& operator=(const Utf8AnsiCodePage&) = delete;

  private:
    static constexpr char16_t kKey[] = u"SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage";
};

// Characters outside the alphabet are skipped however many bytes the ANSI
// code page gives them; under UTF-8 they take two or three.
TEST_F(CryptMsgMessages, TextUnderAMultibyteAnsiCodePage)
{
    Utf8AnsiCodePage utf8;
    ASSERT_EQ(GetACP(), 65001u);
    const std::string plain = RandomBytes(300, 5);
    const std::u16string base64 = Wide(Base64(plain));
    // Cyrillic and CJK characters between the groups, as a pasted text may hold.
    const std::u16string noisy =
        base64.substr(0, 8) + u"й中" + base64.substr(8, 100) + u"Ж" + base64.substr(108);

    Result e = EncryptText(Holder(), noisy);
    ASSERT_EQ(e.code, 0) << Utf8(e.message);
    Result d = DecryptText(Holder().thumbprint, e.text);
    ASSERT_EQ(d.code, 0) << Utf8(d.message);
    EXPECT_EQ(d.text, base64);

    // The message itself with the same noise decrypts too.
    const std::u16string noisyMessage = e.text.substr(0, 4) + u"ё" + e.text.substr(4);
    d = DecryptText(Holder().thumbprint, noisyMessage);
    ASSERT_EQ(d.code, 0) << Utf8(d.message);
    EXPECT_EQ(d.text, base64);
}

TEST_F(CryptMsgMessages, SixtyFourMegabytesRoundTrip)
{
    std::string plain(size_t(64) << 20, '\0');
    for (size_t i = 0; i < plain.size(); i += 4096)
        plain[i] = static_cast<char>(i >> 12);
    Result e = Encrypt(Holder(), plain);
    ASSERT_EQ(e.code, 0) << Utf8(e.message);
    Result d = Decrypt(Holder(), e.bytes);
    ASSERT_EQ(d.code, 0) << Utf8(d.message);
    EXPECT_TRUE(d.bytes == plain);
}

// The text methods convert and decode a long text a piece at a time: groups of
// four characters that straddle the pieces' ends, characters outside the
// alphabet (a surrogate pair among them) and both kinds of ANSI code page give
// what the whole text gives.
TEST_F(CryptMsgMessages, LongNoisyTextsDecodeAsAWhole)
{
    const std::string plain = RandomBytes(200000, 7);
    const std::u16string base64 = Wide(Base64(plain));
    std::u16string noisy;
    for (size_t i = 0; i < base64.size(); ++i) {
        noisy.push_back(base64[i]);
        if (i % 997 == 0)
            noisy += u"й";
        if (i % 4099 == 0)
            noisy += u"\U0001F600";
        if (i % 13 == 0)
            noisy += u"\r\n";
    }
    for (const bool utf8 : {false, true}) {
        std::optional<Utf8AnsiCodePage> acp;
        if (utf8)
            acp.emplace();
        Result e = EncryptText(Holder(), noisy);
        ASSERT_EQ(e.code, 0) << Utf8(e.message);
        Result d = DecryptText(Holder().thumbprint, e.text);
        ASSERT_EQ(d.code, 0) << Utf8(d.message);
        EXPECT_TRUE(d.text == base64) << "ANSI code page " << GetACP();
        // The message's own text, broken into lines, decrypts the same.
        std::u16string lines;
        for (size_t i = 0; i < e.text.size(); i += 64)
            lines += e.text.substr(i, 64) + u"\r\n";
        d = DecryptText(Holder().thumbprint, lines);
        ASSERT_EQ(d.code, 0) << Utf8(d.message);
        EXPECT_TRUE(d.text == base64);
    }
}
