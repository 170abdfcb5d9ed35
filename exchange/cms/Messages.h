// The messages of CCmsSigner, with their codes: 32xxx for signing and
// co-signing, 33xxx for verification and the results per signer, in the
// order a call can meet them. The store, certificate, key and PIN failures
// are worded as the store signer words them.
#pragma once

#include "common/Messages.h"

namespace trumik::exchange::cms::messages {

using common::Message;

// Sign, SignText, CoSign.
inline constexpr Message kSignBadArguments{
    32001,
    u"Неверно заданы входные параметры. Необходимые входные параметры:\nПодписываемые данные\nНаименование "
    u"хранилища сертификатов\nОтпечаток сертификата (Код ошибки - {})"};
inline constexpr Message kNotBase64{
    32003,
    u"Неверно заданы входные параметры. Невозможно преобразовать входную строку из BASE64.(Код ошибки - {})"};
inline constexpr Message kNoStore{
    32005, u"Не удалось обнаружить указанное хранилище сертификатов.(Код ошибки - {})"};
inline constexpr Message kNoCertificate{
    32007, u"Не удалось обнаружить указанный сертификат в хранилище сертификатов.(Код ошибки - {})"};
inline constexpr Message kNotYetValid{32009,
                                      u"Время действия сертификата ещё не наступило.(Код ошибки - {})"};
inline constexpr Message kExpired{32011, u"Время действия сертификата истекло.(Код ошибки - {})"};
inline constexpr Message kNoDigitalSignature{
    32013, u"Ключ для подписания используется не по назначению (Цифровая подпись)\nПроверьте поле "
           u"'Использование ключа' в сертификате.(Код ошибки - {})"};
inline constexpr Message kNotGostKey{32015, u"Ключ указанного сертификата не является ключом ГОСТ Р "
                                            u"34.10-2001 или ГОСТ Р 34.10-2012.(Код ошибки - {})"};
inline constexpr Message kNoKey{32017,
                                u"Не удалось выбрать ключ для подписания из сертификата.(Код ошибки - {})"};
inline constexpr Message kPinRefused{32019, u"Не удалось установить пароль для ключа.(Код ошибки - {})"};
inline constexpr Message kContentNotRead{32021,
                                         u"Не удалось прочитать подписываемые данные.(Код ошибки - {})"};
inline constexpr Message kNotSigned{32023, u"Не удалось сформировать подпись.(Код ошибки - {})"};
inline constexpr Message kSignException{32025, u"Не удалось подписать данные.(Код ошибки - {})"};

// Reading a SignedData: CoSign, Verify, Content.
inline constexpr Message kVerifyBadArguments{33001, u"Неверно заданы входные параметры. Необходимые входные "
                                                    u"параметры:\nПодписанное сообщение (Код ошибки - {})"};
inline constexpr Message kNotSignedData{
    33003, u"Сообщение не является подписанным сообщением CMS (SignedData).(Код ошибки - {})"};
inline constexpr Message kTruncated{33005, u"Подписанное сообщение обрезано.(Код ошибки - {})"};
inline constexpr Message kContentMissing{
    33007, u"Подпись отделена от данных, а подписанные данные не переданы.(Код ошибки - {})"};
inline constexpr Message kUnknownAlgorithm{
    33009, u"Алгоритм хеширования или подписи подписанта не поддерживается.(Код ошибки - {})"};
inline constexpr Message kSignerCertificateMissing{
    33011, u"Сертификат подписанта отсутствует в сообщении.(Код ошибки - {})"};
inline constexpr Message kBadIndex{33013, u"Подписанта с указанным номером нет.(Код ошибки - {})"};
inline constexpr Message kNoContent{33015, u"Сообщение не содержит подписанных данных.(Код ошибки - {})"};
inline constexpr Message kNoSigningTime{33017, u"Подписант не указал время подписания.(Код ошибки - {})"};
inline constexpr Message kVerifyException{33019,
                                          u"Не удалось проверить подписанное сообщение.(Код ошибки - {})"};

} // namespace trumik::exchange::cms::messages
