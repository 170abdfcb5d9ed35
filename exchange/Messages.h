// The messages of CXmlElementSigner and CXmlElementVerifier, with their codes:
// 30xxx for signing, 31xxx for verification, in the order a call can meet them.
// The store, certificate, key and PIN failures are worded as the store
// signer words them.
#pragma once

#include "common/Messages.h"

namespace trumik::exchange::messages {

using common::Message;

// SignElement.
inline constexpr Message kSignBadArguments{
    30001,
    u"Неверно заданы входные параметры. Необходимые входные параметры:\nФайл документа\nИдентификатор "
    u"подписываемого элемента\nНаименование хранилища сертификатов\nОтпечаток сертификата (Код ошибки - {})"};
inline constexpr Message kUnknownProfile{
    30003, u"Неизвестный профиль подписи: допустимы \"smev3\" и \"exc-c14n\".(Код ошибки - {})"};
inline constexpr Message kSignNotStarted{
    30005, u"Внутренняя ошибка компонента. Не удалось проинициализировать объекты.(Код ошибки - {})"};
inline constexpr Message kNoStore{
    30007, u"Не удалось обнаружить указанное хранилище сертификатов.(Код ошибки - {})"};
inline constexpr Message kNoCertificate{
    30009, u"Не удалось обнаружить указанный сертификат в хранилище сертификатов.(Код ошибки - {})"};
inline constexpr Message kNotYetValid{30011,
                                      u"Время действия сертификата ещё не наступило.(Код ошибки - {})"};
inline constexpr Message kExpired{30013, u"Время действия сертификата истекло.(Код ошибки - {})"};
inline constexpr Message kNoDigitalSignature{
    30015, u"Ключ для подписания используется не по назначению (Цифровая подпись)\nПроверьте поле "
           u"'Использование ключа' в сертификате.(Код ошибки - {})"};
inline constexpr Message kNoKeyData{
    30017, u"Не удалось выбрать ключ для подписания из сертификата.(Код ошибки - {})"};
inline constexpr Message kPinRefused{30019, u"Не удалось установить пароль для ключа.(Код ошибки - {})"};
inline constexpr Message kSignNotParsed{
    30021, u"Не удалось произвести разбор указанного документа.(Код ошибки - {})"};
inline constexpr Message kSignDocumentType{
    30023,
    u"Документ содержит объявление типа документа; такие документы не подписываются.(Код ошибки - {})"};
inline constexpr Message kElementNotFound{
    30025, u"Не удалось обнаружить элемент с указанным идентификатором.(Код ошибки - {})"};
inline constexpr Message kElementIdTwice{
    30027, u"Указанный идентификатор носят несколько элементов документа.(Код ошибки - {})"};
inline constexpr Message kParentNotFound{
    30029, u"Не удалось обнаружить элемент, в который помещается подпись.(Код ошибки - {})"};
inline constexpr Message kNoNamespace{
    30031, u"Подписываемый элемент содержит элемент без пространства имён: нормализующее преобразование "
           u"невозможно.(Код ошибки - {})"};
inline constexpr Message kNotSigned{30033, u"Не удалось сформировать подпись.(Код ошибки - {})"};
inline constexpr Message kSignException{30035, u"Не удалось подписать элемент.(Код ошибки - {})"};

// VerifyDocument and the per-signature results.
inline constexpr Message kVerifyBadArguments{
    31001,
    u"Неверно заданы входные параметры. Необходимые входные параметры:\nФайл документа (Код ошибки - {})"};
inline constexpr Message kVerifyNotStarted{
    31003, u"Внутренняя ошибка компонента. Не удалось проинициализировать объекты.(Код ошибки - {})"};
inline constexpr Message kVerifyNotParsed{
    31005, u"Не удалось произвести разбор указанного документа.(Код ошибки - {})"};
inline constexpr Message kVerifyDocumentType{
    31007, u"Документ содержит объявление типа документа; такие документы не проверяются.(Код ошибки - {})"};
inline constexpr Message kNoSignature{31009, u"В документе нет ни одной подписи.(Код ошибки - {})"};
inline constexpr Message kBadIndex{31011, u"Подписи с указанным номером нет.(Код ошибки - {})"};
inline constexpr Message kVerifyException{31013, u"Не удалось проверить документ.(Код ошибки - {})"};

} // namespace trumik::exchange::messages
