// The messages of CCryptEncMessage, with their codes.
#pragma once

#include "common/Messages.h"

namespace trumik::cryptmsg::messages {

using common::Message;

// Opening the verification context of the provider: the encryptions and
// GetProviderInfo.
inline constexpr Message kNoProviderContext{
    80005, u"Невозможно инициализировать контекст криптопровайдера.(Код ошибки - {})"};

// The steps that both decryptions share, from the provider context to the
// plain bytes, with each method's own messages.
struct DecryptionSteps {
    Message provider; // the container's provider context does not open
    bool providerWithPlatformText;
    Message pin;        // the PIN is refused
    Message size;       // the size of the plain bytes
    Message allocation; // memory for them
    Message decrypt;    // the decryption itself
    // When not null: a decryption refused for a wrong PIN, or for the lack
    // of a certificate bound to the key, has this message instead.
    const Message* wrongPin;
    const Message* noKeyCertificate;
};

// The fully qualified name of a container for providers up to version 3.0.
struct ContainerNameSteps {
    Message notFound; // no container of that name, or no name at its position
    Message tooLong;  // longer than such a provider takes
};

// CryptMessageByte and CryptMessage, and the encryption steps they share.
inline constexpr Message kCryptNoUserStore{
    80007, u"Невозможно открыть системное хранилище сертификатов.(Код ошибки - {})"};
inline constexpr Message kCryptNoMachineStore{
    80008, u"Невозможно открыть системное (machine) хранилище сертификатов.(Код ошибки - {})"};
inline constexpr Message kCryptNoSize{
    80009, u"Невозможно определить размер данных для шифрования.(Код ошибки - {})"};
inline constexpr Message kCryptNoMemory{80011,
                                        u"Невозможно выделить память для шифрования.(Код ошибки - {})"};
inline constexpr Message kCryptNotEncrypted{80013, u"Невозможно зашифровать данные.(Код ошибки - {})"};
inline constexpr Message kCryptNoStoreName{80001, u"Неверно заданы входные параметры. Не задано значение "
                                                  u"наименования системного хранилища.(Код ошибки - {})"};
inline constexpr Message kCryptNoThumbprint{
    80002, u"Неверно заданы входные параметры. Не задано значение отпечатка сертификата.(Код ошибки - {})"};
inline constexpr Message kCryptNotOneDimension{
    80003, u"Неверно заданы входные параметры. Размерность входного массива не равна 1.(Код ошибки - {})"};
inline constexpr Message kCryptBytesUnreadable{
    80004,
    u"Неверно заданы входные параметры. Невозможно обработать входной массив байтов.(Код ошибки - {})"};
inline constexpr Message kCryptTextUnreadable{
    80004,
    u"Неверно заданы входные параметры. Невозможно преобразовать входную строку из BASE64.(Код ошибки - {})"};
inline constexpr Message kCryptNoResult{80015,
                                        u"Невозможно возвратить зашифрованные данные.(Код ошибки - {})"};
inline constexpr Message kCryptException{80017, u"Не удалось зашифровать данные.(Код ошибки - {})"};

// DecryptMessageByte and DecryptMessage (the Text messages are DecryptMessage's own).
inline constexpr Message kDecryptNoStoreName{82000, u"Неверно заданы входные параметры. Не задано значение "
                                                    u"наименования системного хранилища.(Код ошибки - {})"};
inline constexpr Message kDecryptNoThumbprint{
    82001, u"Неверно заданы входные параметры. Не задано значение отпечатка сертификата.(Код ошибки - {})"};
inline constexpr Message kDecryptNotOneDimension{
    82002, u"Неверно заданы входные параметры. Размерность входного массива не равна 1.(Код ошибки - {})"};
inline constexpr Message kDecryptBytesUnreadable{
    82003,
    u"Неверно заданы входные параметры. Невозможно обработать входной массив байтов.(Код ошибки - {})"};
inline constexpr Message kDecryptTextUnreadable{
    82003,
    u"Неверно заданы входные параметры. Невозможно преобразовать входную строку из BASE64.(Код ошибки - {})"};
inline constexpr Message kDecryptBytesNoUserStore{
    82007, u"Невозможно открыть системное хранилище сертификатов.(Код ошибки - {})"};
inline constexpr Message kDecryptTextNoUserStore{
    82005, u"Невозможно открыть системное хранилище сертификатов.(Код ошибки - {})"};
inline constexpr Message kDecryptNoProvider{
    82009, u"Невозможно инициализировать контекст криптопровайдера.(Код ошибки - {})"};
inline constexpr Message kDecryptBytesPinRefused{82011,
                                                 u"Не удалось установить пароль для ключа.(Код ошибки - {})"};
inline constexpr Message kDecryptBytesNoSize{
    82013, u"Не удалось получить размер расшифровываемых данных.(Код ошибки - {})"};
inline constexpr Message kDecryptTextPinRefused{82013,
                                                u"Не удалось установить пароль для ключа.(Код ошибки - {})"};
inline constexpr Message kDecryptBytesNoMemory{
    82015, u"Не удалось выделить память под размер расшифровываемого сообщения.(Код ошибки - {})"};
inline constexpr Message kDecryptTextNoSize{
    82015, u"Не удалось получить размер расшифровываемых данных.(Код ошибки - {})"};
inline constexpr Message kDecryptBytesNotDecrypted{82017,
                                                   u"Не удалось расшифровать данные.(Код ошибки - {})"};
inline constexpr Message kDecryptTextNoMemory{
    82017, u"Не удалось выделить память под размер расшифровываемого сообщения.(Код ошибки - {})"};
inline constexpr Message kDecryptBytesNoResult{
    82019, u"Невозможно возвратить расшифрованные данные.(Код ошибки - {})"};
inline constexpr Message kDecryptTextWrongPin{82019,
                                              u"Неверно задан пароль для контейнера.(Код ошибки - {})"};
inline constexpr Message kDecryptBytesException{82021, u"Не удалось зашифровать данные.(Код ошибки - {})"};
inline constexpr Message kDecryptTextNoKeyCertificate{
    82021, u"Не удалось найти сертификат с привязкой к закрытому ключу.(Код ошибки - {})"};
inline constexpr Message kDecryptTextNoResult{
    82021, u"Невозможно возвратить расшифрованные данные.(Код ошибки - {})"};
inline constexpr Message kDecryptTextNotDecrypted{82023, u"Не удалось расшифровать данные.(Код ошибки - {})"};
inline constexpr Message kDecryptTextException{82023, u"Не удалось зашифровать данные.(Код ошибки - {})"};
inline constexpr Message kDecryptTextNoMachineStore{
    82008, u"Невозможно открыть системное (machine) хранилище сертификатов.(Код ошибки - {})"};
inline constexpr Message kDecryptTextNoContainerName{
    82008,
    u"Невозможно выбрать наименование контейнера. Возможно не вставлен ключевой носитель. (Код ошибки - {})"};
inline constexpr Message kDecryptTextContainerNameTooLong{
    82008, u"Имя контейнера содержит больше, чем 64 байта. Для версии CSP 3.0 необходимо уменьшить длину "
           u"контейнера до 64-х байт. (Код ошибки - {})"};

// GetContainerName.
inline constexpr Message kContainerNoStoreName{87000, u"Неверно заданы входные параметры. Не задано значение "
                                                      u"наименования системного хранилища.(Код ошибки - {})"};
inline constexpr Message kContainerNoThumbprint{
    87001, u"Неверно заданы входные параметры. Не задано значение отпечатка сертификата.(Код ошибки - {})"};
inline constexpr Message kContainerNoUserStore{
    87005, u"Невозможно открыть системное хранилище сертификатов.(Код ошибки - {})"};
inline constexpr Message kContainerNoName{
    87007,
    u"Невозможно выбрать наименование контейнера. Возможно не вставлен ключевой носитель. (Код ошибки - {})"};
inline constexpr Message kContainerNameTooLong{
    87008, u"Имя контейнера содержит больше, чем 64 байта. Для версии CSP 3.0 необходимо уменьшить длину "
           u"контейнера до 64-х байт. (Код ошибки - {})"};
inline constexpr Message kContainerException{
    87023, u"Не удалось выбрать наименование контейнера. (Код ошибки - {})"};

// The choice of a certificate's key: the recipient of an encryption, and the
// holder whose key decrypts. Reading the key-provider information of either
// has its own three messages.
struct KeyInfoSteps {
    Message size;       // the property's size
    Message allocation; // memory for it
    Message read;       // the property itself
};
inline constexpr KeyInfoSteps kRecipientKeyInfo{
    {81005, u"Невозможно выбрать свойства ключа для указанного сертификата.(Код ошибки - {})"},
    {81007, u"Невозможно выделить память под структуру, содержащую информацию о ключе.(Код ошибки - {})"},
    {81009, u"Невозможно выделить память под структуру, содержащую информацию о ключе при вторичном вызове "
            u"функции.(Код ошибки - {})"},
};
inline constexpr KeyInfoSteps kHolderKeyInfo{
    {83005, u"Невозможно выбрать свойства ключа для указанного сертификата.(Код ошибки - {})"},
    {83007, u"Невозможно выделить память под структуру, содержащую информацию о ключе.(Код ошибки - {})"},
    {83009, u"Невозможно выделить память под структуру, содержащую информацию о ключе при вторичном вызове "
            u"функции.(Код ошибки - {})"},
};
inline constexpr Message kKeyNotForEncryption{81011,
                                              u"Ключ, связанный с указанным сертификатом, не является ключём "
                                              u"для шифрования, либо не поддерживает ГОСТ.(Код ошибки - {})"};
inline constexpr Message kRecipientNoStore{81001, u"В функцию выбора ключа неверно передан параметр "
                                                  u"идентификатора хранилища сертификатов.(Код ошибки - {})"};
inline constexpr Message kRecipientNotFound{
    81003, u"Не удалось обнаружить указанный сертификат в хранилище сертификатов.(Код ошибки - {})"};
inline constexpr Message kHolderNoStore{83001, u"В функцию выбора ключа неверно передан параметр "
                                               u"идентификатора хранилища сертификатов.(Код ошибки - {})"};
inline constexpr Message kHolderNoMachineStore{
    83002, u"Невозможно открыть системное (machine) хранилище сертификатов.(Код ошибки - {})"};
inline constexpr Message kHolderNotFound{
    83003, u"Не удалось обнаружить указанный сертификат в хранилище сертификатов.(Код ошибки - {})"};

// The provider's version and key containers.
inline constexpr Message kVersionNoProvider{
    82007, u"Невозможно инициализировать контекст криптопровайдера.(Код ошибки - {})"};
inline constexpr Message kIndexNoProvider{
    86001, u"Невозможно инициализировать контекст криптопровайдера.(Код ошибки - {})"};
inline constexpr Message kIndexNoContainers{
    86003, u"Не найдены контейнеры ключей для криптопровайдера.(Код ошибки - {})"};
inline constexpr Message kNameBadIndex{
    86100, u"Ошибка входных параметров. Неверный индекс контейнера.(Код ошибки - {})"};
inline constexpr Message kNameNoProvider{
    86101, u"Невозможно инициализировать контекст криптопровайдера.(Код ошибки - {})"};
inline constexpr Message kNameNoContainers{
    86103, u"Не найдены контейнеры ключей для криптопровайдера.(Код ошибки - {})"};

inline constexpr DecryptionSteps kDecryptBytesSteps{kDecryptNoProvider,
                                                    false,
                                                    kDecryptBytesPinRefused,
                                                    kDecryptBytesNoSize,
                                                    kDecryptBytesNoMemory,
                                                    kDecryptBytesNotDecrypted,
                                                    nullptr,
                                                    nullptr};
inline constexpr DecryptionSteps kDecryptTextSteps{kDecryptNoProvider,     true,
                                                   kDecryptTextPinRefused, kDecryptTextNoSize,
                                                   kDecryptTextNoMemory,   kDecryptTextNotDecrypted,
                                                   &kDecryptTextWrongPin,  &kDecryptTextNoKeyCertificate};
inline constexpr ContainerNameSteps kDecryptTextContainerName{kDecryptTextNoContainerName,
                                                              kDecryptTextContainerNameTooLong};
inline constexpr ContainerNameSteps kContainerFullName{kContainerNoName, kContainerNameTooLong};

} // namespace trumik::cryptmsg::messages
