// The provider, the key containers and the choice of a certificate's key:
// GetProviderInfo, GetContainerName and the class operations behind them.
#include "GostIdentity.h"

#include "cryptmsg/CryptEncMessage.h"
#include "csp/Containers.h"

#include <gtest/gtest.h>

using namespace trumik;
using namespace trumik::cryptmsgtest;
using cryptmsg::CCryptEncMessage;

namespace {

struct Outcome {
    HRESULT status;
    std::u16string name;
    LONG code;
    std::u16string message;
    std::u16string stack;
};

Outcome ContainerName(CCryptEncMessage& object, BSTR store, BSTR hash)
{
    BSTR out = nullptr;
    Outcome o;
    o.status = object.GetContainerName(store, hash, &out);
    o.name = common::View(out);
    SysFreeString(out);
    o.code = object.Record().Code();
    o.message = object.Record().Message();
    o.stack = common::stacks::Text(common::ErrorStackId::CryptEncMessage);
    return o;
}

Outcome ContainerName(const GostIdentity& id, const std::string& store = "My")
{
    CCryptEncMessage object;
    return ContainerName(object, Bstr(store).get(), Bstr(id.thumbprint).get());
}

} // namespace

TEST(CryptMsgProvider, ProviderInfoIsFixedAndKeepsTheRecord)
{
    CCryptEncMessage object;
    BSTR text = nullptr;
    EXPECT_EQ(object.GetProviderInfo(&text), S_OK);
    EXPECT_EQ(common::View(text),
              u"Тип криптопровайдера: 75, Наименование криптопровайдера: Crypto-Pro GOST R "
              u"34.10-2001 Cryptographic Service Provider");
    SysFreeString(text);

    ContainerName(object, nullptr, Bstr("00").get());
    ASSERT_EQ(object.Record().Code(), 87000);
    text = nullptr;
    EXPECT_EQ(object.GetProviderInfo(&text), S_OK);
    SysFreeString(text);
    EXPECT_EQ(object.Record().Code(), 87000) << "GetProviderInfo does not reset the record";
}

TEST(CryptMsgProvider, ArgumentsAreCheckedStoreFirst)
{
    CCryptEncMessage object;
    Outcome o = ContainerName(object, nullptr, nullptr);
    EXPECT_EQ(o.status, S_FALSE);
    EXPECT_EQ(o.code, 87000);
    EXPECT_EQ(o.message, u"Неверно заданы входные параметры. Не задано значение наименования системного "
                         u"хранилища.(Код ошибки - 87000)");
    o = ContainerName(object, Bstr("My").get(), nullptr);
    EXPECT_EQ(o.status, S_FALSE);
    EXPECT_EQ(o.code, 87001);
    EXPECT_EQ(
        o.message,
        u"Неверно заданы входные параметры. Не задано значение отпечатка сертификата.(Код ошибки - 87001)");
    // An empty store name passes the checks; the platform opens no store of that name.
    o = ContainerName(object, Bstr("").get(), Bstr("").get());
    EXPECT_EQ(o.status, S_OK);
    EXPECT_EQ(o.code, 87005);
    EXPECT_EQ(o.message, u"Невозможно открыть системное хранилище сертификатов.(Код ошибки - 87005)");
    // An empty thumbprint: the certificate is found in neither store.
    o = ContainerName(object, Bstr("My").get(), Bstr("").get());
    EXPECT_EQ(o.status, S_OK);
    EXPECT_EQ(o.code, 83003);
    EXPECT_EQ(o.name, u"");
}

TEST(CryptMsgProvider, NewerProviderTakesTheNameFromTheCertificate)
{
    GostIdentity user = MakeGostIdentity("user-key");
    Outcome o = ContainerName(user);
    EXPECT_EQ(o.status, S_OK);
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.name, u"user-key");

    GostIdentity machine = MakeGostIdentity("machine-key", At(Location::Machine, true));
    o = ContainerName(machine);
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.name, u"machine-key");

    // 0x301 is newer than 3.0: a name of any length comes back unchanged.
    ProviderVersionGuard version(0x301);
    GostIdentity longName = MakeGostIdentity(std::string(90, 'n'));
    o = ContainerName(longName);
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.name, std::u16string(90, u'n'));
}

TEST(CryptMsgProvider, CertificateInBothStoresIsTakenFromTheUserStore)
{
    GostIdentity both = MakeGostIdentity("both-key", At(Location::Both));
    CCryptEncMessage object;
    HCERTSTORE user = CertOpenSystemStoreA(0, "My");
    ASSERT_NE(user, nullptr);
    cryptmsg::UniqueStore machine(CertOpenSystemStoreA(0, "Root"));
    cryptmsg::UniqueKeyProvInfo info =
        object.GetKeyProviderInfo(user, Bstr(both.thumbprint).get(), Bstr("My").get(), machine);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(machine, nullptr) << "no machine store is handed back";

    GostIdentity onlyMachine = MakeGostIdentity("only-machine", At(Location::Machine));
    info = object.GetKeyProviderInfo(user, Bstr(onlyMachine.thumbprint).get(), Bstr("My").get(), machine);
    ASSERT_NE(info, nullptr);
    EXPECT_NE(machine, nullptr);
    machine.reset();

    EXPECT_EQ(object.GetKeyProviderInfo(nullptr, Bstr(both.thumbprint).get(), Bstr("My").get(), machine),
              nullptr);
    EXPECT_EQ(object.Record().Code(), 83001);
    EXPECT_EQ(object.SelectRecipientCertificate(nullptr, nullptr, Bstr(both.thumbprint).get()), nullptr);
    EXPECT_EQ(object.Record().Code(), 81001);
    cryptmsg::UniqueStore machineStore(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, u"My"));
    cryptmsg::UniqueCertContext cert =
        object.SelectRecipientCertificate(user, machineStore.get(), Bstr(onlyMachine.thumbprint).get());
    EXPECT_NE(cert, nullptr);
    cert = object.SelectRecipientCertificate(user, machineStore.get(), Bstr(std::string(40, '0')).get());
    EXPECT_EQ(cert, nullptr);
    EXPECT_EQ(object.Record().Code(), 81003);
    CertCloseStore(user, 0);
}

TEST(CryptMsgProvider, UnusableKeysAreRefused)
{
    GostIdentity signature = MakeGostIdentity("sign-key", WithKeySpec(AT_SIGNATURE));
    Outcome o = ContainerName(signature);
    EXPECT_EQ(o.status, S_OK);
    EXPECT_EQ(o.code, 81011);
    EXPECT_EQ(o.message,
              u"Ключ, связанный с указанным сертификатом, не является ключём для шифрования, либо не "
              u"поддерживает ГОСТ.(Код ошибки - 81011)");
    EXPECT_EQ(o.name, u"");

    GostIdentity noKey = MakeGostIdentity("no-prov-info", WithoutProvInfo(false));
    o = ContainerName(noKey);
    EXPECT_EQ(o.status, S_OK);
    EXPECT_EQ(o.code, 83005);
    EXPECT_EQ(o.message,
              u"Невозможно выбрать свойства ключа для указанного сертификата.(Код ошибки - 83005)");
    EXPECT_FALSE(o.stack.empty()) << "the platform's text goes on the stack";
    EXPECT_EQ(o.name, u"");

    CCryptEncMessage object;
    HCERTSTORE user = CertOpenSystemStoreA(0, "My");
    EXPECT_EQ(object.SelectRecipientCertificate(user, nullptr, Bstr(noKey.thumbprint).get()), nullptr);
    EXPECT_EQ(object.Record().Code(), 81005);
    EXPECT_EQ(object.SelectRecipientCertificate(user, nullptr, Bstr(signature.thumbprint).get()), nullptr);
    EXPECT_EQ(object.Record().Code(), 81011);
    CertCloseStore(user, 0);

    GostIdentity unnamed = MakeGostIdentity("unnamed", WithoutProvInfo(true));
    o = ContainerName(unnamed);
    EXPECT_EQ(o.status, S_OK);
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.name, u"");
}

TEST(CryptMsgProvider, OldProviderLooksTheFullyQualifiedNameUp)
{
    DeleteAllContainers();
    ProviderVersionGuard version(0x300);
    const std::string n52(52, 'a'), n53(53, 'b'); // fully qualified: 64 and 65 bytes
    GostIdentity fits = MakeGostIdentity(n52);
    GostIdentity tooLong = MakeGostIdentity(n53);
    GostIdentity shortName = MakeGostIdentity("c-short");

    Outcome o = ContainerName(fits);
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.name, u"\\\\.\\HDIMAGE\\" + std::u16string(52, u'a'));
    o = ContainerName(shortName);
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.name, u"\\\\.\\HDIMAGE\\c-short");
    o = ContainerName(tooLong);
    EXPECT_EQ(o.status, S_OK);
    EXPECT_EQ(o.code, 87008);
    EXPECT_EQ(o.message,
              u"Имя контейнера содержит больше, чем 64 байта. Для версии CSP 3.0 необходимо уменьшить "
              u"длину контейнера до 64-х байт. (Код ошибки - 87008)");
    EXPECT_EQ(o.name, u"");

    // The container the certificate names is gone, then no container is left.
    DeleteAllContainers();
    GostIdentity gone = MakeGostIdentity("gone");
    GostIdentity other = MakeGostIdentity("other");
    csp::DeleteContainer(csp::Scope::User, "gone");
    o = ContainerName(gone);
    EXPECT_EQ(o.code, 87007);
    EXPECT_EQ(o.message,
              u"Невозможно выбрать наименование контейнера. Возможно не вставлен ключевой носитель. (Код "
              u"ошибки - 87007)");
    DeleteAllContainers();
    o = ContainerName(other);
    EXPECT_EQ(o.code, 87007);
    EXPECT_EQ(o.name, u"");
}

TEST(CryptMsgProvider, ContainerEnumerationOperations)
{
    DeleteAllContainers();
    MakeGostIdentity("e-one");
    MakeGostIdentity("e-two");
    MakeGostIdentity("e-machine", At(Location::Machine, true));
    CCryptEncMessage object;
    EXPECT_EQ(object.FindContainerIndex("e-one", false), 1);
    EXPECT_EQ(object.FindContainerIndex("e-two", false), 2);
    EXPECT_EQ(object.FindContainerIndex("E-TWO", false), 0) << "names compare case-sensitively";
    EXPECT_EQ(object.FindContainerIndex("e-machine", false), 0);
    EXPECT_EQ(object.FindContainerIndex("e-machine", true), 1);
    std::string name;
    EXPECT_TRUE(object.GetContainerNameByIndex(2, false, name));
    EXPECT_EQ(name, "\\\\.\\HDIMAGE\\e-two");
    EXPECT_FALSE(object.GetContainerNameByIndex(3, false, name));
    EXPECT_EQ(object.Record().Code(), 0) << "running out of names sets no error";
    EXPECT_FALSE(object.GetContainerNameByIndex(0, false, name));
    EXPECT_EQ(object.Record().Code(), 86100);
    EXPECT_FALSE(object.GetContainerNameByIndex(-4, false, name));
    EXPECT_EQ(object.Record().Code(), 86100);

    DeleteAllContainers();
    EXPECT_EQ(object.FindContainerIndex("e-one", false), 0);
    EXPECT_EQ(object.Record().Code(), 86003);
    EXPECT_FALSE(object.GetContainerNameByIndex(1, false, name));
    EXPECT_EQ(object.Record().Code(), 86103);
}
