// The messages of CMSXmlSigner, with their codes.
#pragma once

#include "common/Messages.h"

namespace trumik::signer::messages {

using common::Message;

// SignWithCertStore and SignWithCertStorePass: the signing core, step by step.
inline constexpr Message kBadArguments{
    1, u"Неверно заданы входные параметры. Необходимые входные параметры:\nФайл документа\nНаименование "
       u"хранилища сертификатов\nОтпечаток сертификата (Код ошибки - {})"};
inline constexpr Message kNotStarted{
    3, u"Внутренняя ошибка компонента. Не удалось проинициализировать объекты.(Код ошибки - {})"};
inline constexpr Message kNoStore{
    5, u"Не удалось обнаружить указанное хранилище сертификатов.(Код ошибки - {})"};
inline constexpr Message kNoCertificate{
    7, u"Не удалось обнаружить указанный сертификат в хранилище сертификатов.(Код ошибки - {})"};
inline constexpr Message kNoKeyData{
    9, u"Не удалось выбрать ключ для подписания из сертификата.(Код ошибки - {})"};
inline constexpr Message kPinRefused{11, u"Не удалось установить пароль для ключа.(Код ошибки - {})"};
inline constexpr Message kNoKey{17, u"Не удалось инициализировать ключ для подписания.(Код ошибки - {})"};
inline constexpr Message kNotParsed{19,
                                    u"Не удалось произвести разбор указанного документа.(Код ошибки - {})"};
inline constexpr Message kNoTemplate{21, u"Не удалось сформировать шаблон подписи.(Код ошибки - {})"};
inline constexpr Message kNoReference{23, u"Не удалось добавить ссылку на шаблон подписи.(Код ошибки - {})"};
inline constexpr Message kNoTransform{25, u"Не удалось выполнить enveloped-преобразование.(Код ошибки - {})"};
inline constexpr Message kSigningNotGost{
    27, u"Алгоритм подписи указанного сертификата не поддерживается ГОСТ.(Код ошибки - {})"};
inline constexpr Message kNoContext{29, u"Не удалось сформировать контекст подписи.(Код ошибки - {})"};
inline constexpr Message kNoKeyName{31, u"Не удалось установить наименование ключа.(Код ошибки - {})"};
inline constexpr Message kNotSigned{33, u"Не удалось сформировать подпись.(Код ошибки - {})"};
inline constexpr Message kSigningException{35, u"Не удалось подписать документ.(Код ошибки - {})"};

// Writing the new Signature element into the caller's text.
inline constexpr Message kSignedNotParsed{
    71, u"Не удалось произвести разбор подписанного документа.(Код ошибки - {})"};
inline constexpr Message kSignatureNotFound{
    73, u"Не удалось извлечь подпись из подписанного документа.(Код ошибки - {})"};
inline constexpr Message kRebuildException{75, u"Не удалось подписать документ.(Код ошибки - {})"};

// The store certificate checks. Each family (time validity, GOST algorithm,
// key usage) has its own messages for the frame it shares with the others.
struct CheckFamily {
    Message arguments;   // a null store name or thumbprint
    Message store;       // the store does not open
    Message certificate; // no certificate with the thumbprint
    Message exception;   // anything thrown
};
inline constexpr CheckFamily kTimeChecks{
    {1001, u"Неверно заданы входные параметры. Необходимые входные параметры:\nНаименование хранилища "
           u"сертификатов\nОтпечаток сертификата(Код ошибки - {})"},
    {1003, u"Не удалось обнаружить указанное хранилище сертификатов.(Код ошибки - {})"},
    {1005, u"Не удалось обнаружить указанный сертификат в хранилище сертификатов.(Код ошибки - {})"},
    {1011, u"Не удалось выполнить проверку сертификата на предмет действительности времени действия.(Код "
           u"ошибки - {})"},
};
inline constexpr CheckFamily kGostChecks{
    {3001, u"Неверно заданы входные параметры. Необходимые входные параметры:\nНаименование хранилища "
           u"сертификатов\nОтпечаток сертификата(Код ошибки - {})"},
    {3003, u"Не удалось обнаружить указанное хранилище сертификатов.(Код ошибки - {})"},
    {3005, u"Не удалось обнаружить указанный сертификат в хранилище сертификатов.(Код ошибки - {})"},
    {3009,
     u"Не удалось выполнить проверку сертификата на предмет соответствия алгоритма ГОСТ-у.(Код ошибки - {})"},
};
inline constexpr CheckFamily kUsageChecks{
    {4001, u"Неверно заданы входные параметры. Необходимые входные параметры:\nНаименование хранилища "
           u"сертификатов\nОтпечаток сертификата(Код ошибки - {})"},
    {4003, u"Не удалось обнаружить указанное хранилище сертификатов.(Код ошибки - {})"},
    {4005, u"Не удалось обнаружить указанный сертификат в хранилище сертификатов.(Код ошибки - {})"},
    {4011, u"Не удалось выполнить проверку сертификата на предмет назначения использования ключа.(Код ошибки "
           u"- {})"},
};

// The tests of the checks.
inline constexpr Message kDateNotConverted{1006, u"Не могу преобразовать входящую дату.(Код ошибки - {})"};
inline constexpr Message kDateNotFileTime{1065, u"Не могу преобразовать входящую дату.(Код ошибки - {})"};
inline constexpr Message kNotYetValid{1007, u"Время действия сертификата ещё не наступило.(Код ошибки - {})"};
inline constexpr Message kExpired{1009, u"Время действия сертификата истекло.(Код ошибки - {})"};
inline constexpr Message kCheckNotGost{
    3007, u"Алгоритм подписи указанного сертификата не поддерживается ГОСТ.(Код ошибки - {})"};
inline constexpr Message kNoKeyUsage{
    4007, u"Ключ для подписания используется не по назначению (Цифровая подпись, Неотрекаемость)\nНе "
          u"установлены значения в поле 'Использование ключа' сертификата.(Код ошибки - {})"};
inline constexpr Message kWrongKeyUsage{
    4009, u"Ключ для подписания используется не по назначению (Цифровая подпись, Неотрекаемость)\nПроверьте "
          u"поле 'Использование ключа' в сертификате.(Код ошибки - {})"};

} // namespace trumik::signer::messages
