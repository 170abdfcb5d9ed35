// System message texts, as a Russian Windows reports them. UTF-8 here;
// FormatMessageA converts them to the ANSI code page.
#include "kernel/SystemMessages.h"

#include "winbase.h"
#include "wincrypt_errors.h"
#include "winerror.h"

namespace trumik::platform {

namespace {

struct Message {
    DWORD code;
    const char* text;
};

#define M(code, text)                                                                                        \
    {                                                                                                        \
        static_cast<DWORD>(code), text "\r\n"                                                                \
    }

const Message kMessages[] = {
    // Win32 error codes.
    M(ERROR_SUCCESS, "Операция успешно завершена."),
    M(ERROR_INVALID_FUNCTION, "Неверная функция."),
    M(ERROR_FILE_NOT_FOUND, "Не удается найти указанный файл."),
    M(ERROR_PATH_NOT_FOUND, "Системе не удается найти указанный путь."),
    M(ERROR_ACCESS_DENIED, "Отказано в доступе."),
    M(ERROR_INVALID_HANDLE, "Неверный дескриптор."),
    M(ERROR_NOT_ENOUGH_MEMORY, "Недостаточно памяти для обработки команды."),
    M(ERROR_BAD_FORMAT, "Была сделана попытка загрузить программу, имеющую неверный формат."),
    M(ERROR_INVALID_DATA, "Недопустимые данные."),
    M(ERROR_OUTOFMEMORY, "Недостаточно памяти для завершения операции."),
    M(ERROR_NOT_SUPPORTED, "Запрос не поддерживается."),
    M(ERROR_FILE_EXISTS, "Файл существует."),
    M(ERROR_INVALID_PARAMETER, "Параметр задан неверно."),
    M(ERROR_CALL_NOT_IMPLEMENTED, "Эта функция не поддерживается в данной системе."),
    M(ERROR_INSUFFICIENT_BUFFER, "Область данных, переданная по системному вызову, слишком мала."),
    M(ERROR_INVALID_NAME, "Синтаксическая ошибка в имени файла, имени папки или метке тома."),
    M(ERROR_MOD_NOT_FOUND, "Не найден указанный модуль."),
    M(ERROR_PROC_NOT_FOUND, "Не найдена указанная процедура."),
    M(ERROR_DIR_NOT_EMPTY, "Папка не пуста."),
    M(ERROR_ALREADY_EXISTS, "Невозможно создать файл, так как он уже существует."),
    M(ERROR_MORE_DATA, "Имеются дополнительные данные."),
    M(ERROR_NO_MORE_ITEMS, "Больше данных нет."),
    M(ERROR_MR_MID_NOT_FOUND,
      "Не удается найти текст сообщения для номера сообщения 0x%1 в файле сообщений для %2."),
    M(ERROR_NOACCESS, "Неверная попытка доступа к адресу памяти."),
    M(ERROR_INVALID_FLAGS, "Недопустимые флаги."),
    M(ERROR_BADDB, "База данных реестра повреждена."),
    M(ERROR_BADKEY, "Параметр реестра поврежден."),
    M(ERROR_CANTOPEN, "Невозможно открыть раздел реестра."),
    M(ERROR_CANTREAD, "Невозможно прочитать раздел реестра."),
    M(ERROR_CANTWRITE, "Невозможно записать раздел реестра."),
    M(ERROR_REGISTRY_IO_FAILED,
      "Операция ввода-вывода, инициированная реестром, вызвала неустранимый сбой. Реестр не может считать, "
      "записать или сбросить один из файлов, содержащих системный образ реестра."),
    M(ERROR_UNSUPPORTED_TYPE, "Данные этого типа не поддерживаются."),
    M(ERROR_KEY_DELETED, "Недопустимая операция с разделом реестра, отмеченным для удаления."),
    M(ERROR_NO_UNICODE_TRANSLATION,
      "Для символа Юникода не существует отображения в целевой многобайтовой кодовой странице."),
    M(ERROR_RESOURCE_DATA_NOT_FOUND, "Указанный файл образа не содержит раздела ресурсов."),
    M(ERROR_RESOURCE_TYPE_NOT_FOUND, "Не удается найти указанный тип ресурса в файле образа."),
    M(ERROR_RESOURCE_NAME_NOT_FOUND, "Не удается найти указанное имя ресурса в файле образа."),
    M(ERROR_RESOURCE_LANG_NOT_FOUND, "Не удается найти указанный язык ресурса в файле образа."),

    // COM and OLE Automation.
    M(E_NOTIMPL, "Не реализовано"),
    M(E_NOINTERFACE, "Интерфейс не поддерживается"),
    M(E_POINTER, "Недопустимый указатель"),
    M(E_ABORT, "Операция прервана"),
    M(E_FAIL, "Неопознанная ошибка"),
    M(E_UNEXPECTED, "Катастрофический сбой"),
    M(E_ACCESSDENIED, "Отказано в доступе."),
    M(E_HANDLE, "Неверный дескриптор."),
    M(E_OUTOFMEMORY, "Недостаточно памяти для завершения операции."),
    M(E_INVALIDARG, "Параметр задан неверно."),
    M(DISP_E_UNKNOWNINTERFACE, "Неизвестный интерфейс."),
    M(DISP_E_MEMBERNOTFOUND, "Член группы не найден."),
    M(DISP_E_PARAMNOTFOUND, "Параметр не найден."),
    M(DISP_E_TYPEMISMATCH, "Несоответствие типа."),
    M(DISP_E_UNKNOWNNAME, "Неизвестное имя."),
    M(DISP_E_NONAMEDARGS, "Именованные аргументы не поддерживаются."),
    M(DISP_E_BADVARTYPE, "Недопустимый тип переменной."),
    M(DISP_E_EXCEPTION, "Исключение."),
    M(DISP_E_OVERFLOW, "Выход за пределы допустимого диапазона."),
    M(DISP_E_BADINDEX, "Недопустимый индекс."),
    M(DISP_E_UNKNOWNLCID, "Неизвестный язык."),
    M(DISP_E_ARRAYISLOCKED, "Память заблокирована."),
    M(DISP_E_BADPARAMCOUNT, "Недопустимое число параметров."),
    M(DISP_E_PARAMNOTOPTIONAL, "Параметр не является необязательным."),
    M(DISP_E_BADCALLEE, "Недопустимый вызываемый объект."),
    M(DISP_E_NOTACOLLECTION, "Не поддерживает семейство."),
    M(DISP_E_DIVBYZERO, "Деление на ноль."),
    M(CLASS_E_NOAGGREGATION,
      "Класс не поддерживает статистическую обработку (или объект класса является удаленным)"),
    M(CLASS_E_CLASSNOTAVAILABLE, "ClassFactory не может предоставить запрошенный класс"),
    M(REGDB_E_READREGDB, "Не удалось прочитать раздел из реестра"),
    M(REGDB_E_WRITEREGDB, "Не удалось записать раздел в реестр"),
    M(REGDB_E_KEYMISSING, "Не удалось найти раздел в реестре"),
    M(REGDB_E_INVALIDVALUE, "Недопустимое значение для реестра"),
    M(REGDB_E_CLASSNOTREG, "Класс не зарегистрирован"),
    M(REGDB_E_IIDNOTREG, "Интерфейс не зарегистрирован"),
    M(CO_E_NOTINITIALIZED, "Не был вызван CoInitialize."),
    M(CO_E_CLASSSTRING, "Недопустимая строка с кодом класса"),
    M(CO_E_DLLNOTFOUND, "Не удалось найти библиотеку DLL"),
    M(CO_E_ERRORINDLL, "Ошибка в библиотеке DLL"),
    M(SELFREG_E_TYPELIB, "Не удалось зарегистрировать или отменить регистрацию библиотеки типов"),
    M(SELFREG_E_CLASS, "Не удалось зарегистрировать или отменить регистрацию класса"),
    M(TYPE_E_REGISTRYACCESS, "Ошибка доступа к системному реестру."),
    M(TYPE_E_LIBNOTREGISTERED, "Библиотека не зарегистрирована."),
    M(TYPE_E_INVALIDSTATE, "Недопустимая прямая ссылка или ссылка на некомпилированный тип."),
    M(TYPE_E_ELEMENTNOTFOUND, "Элемент не найден."),
    M(TYPE_E_CANTLOADLIBRARY, "Ошибка при загрузке библиотеки типов или DLL."),

    // Cryptographic service providers.
    M(NTE_BAD_UID, "Неправильный UID."),
    M(NTE_BAD_HASH, "Неправильный хеш."),
    M(NTE_BAD_KEY, "Неправильный ключ."),
    M(NTE_BAD_LEN, "Неправильная длина."),
    M(NTE_BAD_DATA, "Неправильные данные."),
    M(NTE_BAD_SIGNATURE, "Неправильная подпись."),
    M(NTE_BAD_VER, "Неправильная версия поставщика."),
    M(NTE_BAD_ALGID, "Указан неправильный алгоритм."),
    M(NTE_BAD_FLAGS, "Указан неправильный флаг."),
    M(NTE_BAD_TYPE, "Указан неправильный тип."),
    M(NTE_BAD_KEY_STATE, "Ключ не может быть использован в указанном состоянии."),
    M(NTE_BAD_HASH_STATE, "Хеш не может быть использован в указанном состоянии."),
    M(NTE_NO_KEY, "Ключ не существует."),
    M(NTE_NO_MEMORY, "Для выполнения операции недостаточно памяти."),
    M(NTE_EXISTS, "Объект уже существует."),
    M(NTE_PERM, "Отказано в доступе."),
    M(NTE_NOT_FOUND, "Объект не найден."),
    M(NTE_DOUBLE_ENCRYPT, "Данные уже зашифрованы."),
    M(NTE_BAD_PROVIDER, "Указан неправильный поставщик."),
    M(NTE_BAD_PROV_TYPE, "Указан неправильный тип поставщика."),
    M(NTE_BAD_PUBLIC_KEY, "Неправильный открытый ключ поставщика."),
    M(NTE_BAD_KEYSET, "Набор ключей не существует"),
    M(NTE_PROV_TYPE_NOT_DEF, "Тип поставщика не определен."),
    M(NTE_PROV_TYPE_ENTRY_BAD, "Неправильная регистрация типа поставщика."),
    M(NTE_KEYSET_NOT_DEF, "Набор ключей не определен."),
    M(NTE_KEYSET_ENTRY_BAD, "Неправильная регистрация набора ключей."),
    M(NTE_PROV_TYPE_NO_MATCH, "Тип поставщика не соответствует зарегистрированному значению."),
    M(NTE_SIGNATURE_FILE_BAD, "Поврежден файл цифровой подписи."),
    M(NTE_PROVIDER_DLL_FAIL, "Не удалось загрузить или инициализировать DLL поставщика."),
    M(NTE_PROV_DLL_NOT_FOUND, "Не удалось найти DLL поставщика."),
    M(NTE_BAD_KEYSET_PARAM, "Неправильный параметр набора ключей."),
    M(NTE_FAIL, "Внутренняя ошибка."),
    M(NTE_SYS_ERR, "Произошла базовая ошибка."),
    M(NTE_SILENT_CONTEXT,
      "Поставщик не может выполнить действие, так как контекст был получен в автоматическом режиме."),
    M(NTE_TOKEN_KEYSET_STORAGE_FULL,
      "Память маркера заполнена, и в нее невозможно добавить новые контейнеры."),
    M(NTE_TEMPORARY_PROFILE, "Профиль пользователя является временным."),
    M(NTE_FIXEDPARAMETER,
      "Этот параметр ключа не может быть задан, так как CSP использует фиксированные параметры."),
    M(NTE_INVALID_HANDLE, "Указан неправильный дескриптор."),
    M(NTE_INVALID_PARAMETER, "Неверный параметр."),
    M(NTE_BUFFER_TOO_SMALL, "Буфер слишком мал для размещения запрошенных данных."),
    M(NTE_NOT_SUPPORTED, "Запрошенная операция не поддерживается."),
    M(NTE_NO_MORE_ITEMS, "Больше нет данных."),

    // Cryptographic messages and certificates.
    M(CRYPT_E_MSG_ERROR, "Произошла ошибка при выполнении криптографической операции над сообщением."),
    M(CRYPT_E_UNKNOWN_ALGO, "Неизвестный криптографический алгоритм."),
    M(CRYPT_E_OID_FORMAT, "Неверный формат идентификатора объекта."),
    M(CRYPT_E_INVALID_MSG_TYPE, "Недопустимый тип криптографического сообщения."),
    M(CRYPT_E_UNEXPECTED_ENCODING, "Непредвиденная кодировка криптографического сообщения."),
    M(CRYPT_E_AUTH_ATTR_MISSING,
      "Криптографическое сообщение не содержит ожидаемого атрибута проверки подлинности."),
    M(CRYPT_E_HASH_VALUE, "Неправильное значение хеша."),
    M(CRYPT_E_INVALID_INDEX, "Недопустимый индекс."),
    M(CRYPT_E_ALREADY_DECRYPTED, "Содержимое криптографического сообщения уже расшифровано."),
    M(CRYPT_E_NOT_DECRYPTED, "Содержимое криптографического сообщения еще не расшифровано."),
    M(CRYPT_E_RECIPIENT_NOT_FOUND, "Зашифрованное сообщение не содержит указанного получателя."),
    M(CRYPT_E_CONTROL_TYPE, "Недопустимый тип элемента управления."),
    M(CRYPT_E_ISSUER_SERIALNUMBER, "Недопустимый издатель и/или серийный номер."),
    M(CRYPT_E_SIGNER_NOT_FOUND, "Не удается найти исходного подписавшего."),
    M(CRYPT_E_ATTRIBUTES_MISSING, "Криптографическое сообщение не содержит всех запрошенных атрибутов."),
    M(CRYPT_E_STREAM_MSG_NOT_READY, "Потоковое криптографическое сообщение не готово к возврату данных."),
    M(CRYPT_E_STREAM_INSUFFICIENT_DATA,
      "Потоковому криптографическому сообщению требуются дополнительные данные для завершения операции "
      "декодирования."),
    M(CRYPT_E_BAD_LEN, "Длина, указанная для выходных данных, недостаточна."),
    M(CRYPT_E_BAD_ENCODE, "Произошла ошибка при кодировании или декодировании."),
    M(CRYPT_E_FILE_ERROR, "Произошла ошибка при чтении или записи файла."),
    M(CRYPT_E_NOT_FOUND, "Не удается найти объект или свойство."),
    M(CRYPT_E_EXISTS, "Объект или свойство уже существует."),
    M(CRYPT_E_NO_PROVIDER, "Для хранилища или объекта не указан поставщик."),
    M(CRYPT_E_SELF_SIGNED, "Указанный сертификат является самозаверенным."),
    M(CRYPT_E_DELETED_PREV, "Предыдущий сертификат или список отзыва сертификатов был удален."),
    M(CRYPT_E_NO_MATCH, "Не удается найти запрошенный объект."),
    M(CRYPT_E_UNEXPECTED_MSG_TYPE,
      "Тип декодируемого криптографического сообщения отличается от ожидаемого."),
    M(CRYPT_E_NO_KEY_PROPERTY, "Сертификат не имеет свойства закрытого ключа."),
    M(CRYPT_E_NO_DECRYPT_CERT, "Не найден сертификат и закрытый ключ для расшифровки."),
    M(CRYPT_E_BAD_MSG,
      "Это не криптографическое сообщение или криптографическое сообщение имеет неправильный формат."),
    M(CRYPT_E_NO_SIGNER, "Сообщение не содержит подписавшего с указанным индексом."),
    M(CRYPT_E_PENDING_CLOSE, "Окончательное закрытие отложено до освобождения всех дополнительных ресурсов."),
    M(CRYPT_E_REVOKED, "Сертификат отозван его центром сертификации."),
    M(CRYPT_E_NO_REVOCATION_DLL,
      "Не найдена библиотека DLL или экспортированная функция для проверки отзыва."),
    M(CRYPT_E_NO_REVOCATION_CHECK, "Функция отзыва не смогла произвести проверку отзыва для сертификата."),
    M(CRYPT_E_REVOCATION_OFFLINE,
      "Функция отзыва не смогла произвести проверку отзыва, поскольку сервер отзыва был отключен."),
    M(CRYPT_E_NOT_IN_REVOCATION_DATABASE, "Сертификат отсутствует в базе данных сервера отзыва."),

    // ASN.1 encoding and decoding.
    M(OSS_MORE_BUF, "Ошибка OSS ASN.1: выходной буфер слишком мал."),
    M(OSS_NEGATIVE_UINTEGER, "Ошибка OSS ASN.1: знаковое целое закодировано как беззнаковое."),
    M(OSS_PDU_RANGE, "Ошибка OSS ASN.1: неизвестный идентификатор ASN.1."),
    M(OSS_MORE_INPUT, "Ошибка OSS ASN.1: неожиданный конец данных."),
    M(OSS_DATA_ERROR, "Ошибка OSS ASN.1: недопустимые данные."),
    M(OSS_BAD_ARG, "Ошибка OSS ASN.1: недопустимый аргумент."),
    M(OSS_PDU_MISMATCH, "Ошибка OSS ASN.1: несоответствие PDU."),
    M(OSS_OUT_MEMORY, "Ошибка OSS ASN.1: недостаточно памяти."),
    M(OSS_BAD_PTR, "Ошибка OSS ASN.1: недопустимый указатель."),
    M(CRYPT_E_ASN1_ERROR, "Ошибка ASN1 при кодировании или декодировании."),
    M(CRYPT_E_ASN1_INTERNAL, "Внутренняя ошибка ASN1 при кодировании или декодировании."),
    M(CRYPT_E_ASN1_EOD, "ASN1: непредвиденный конец данных."),
    M(CRYPT_E_ASN1_CORRUPT, "ASN1: поврежденные данные."),
    M(CRYPT_E_ASN1_LARGE, "ASN1: значение слишком велико."),
    M(CRYPT_E_ASN1_CONSTRAINT, "ASN1: нарушение ограничения."),
    M(CRYPT_E_ASN1_MEMORY, "ASN1: недостаточно памяти."),
    M(CRYPT_E_ASN1_OVERFLOW, "ASN1: переполнение буфера."),
    M(CRYPT_E_ASN1_BADPDU, "ASN1: функция не поддерживается для этого PDU."),
    M(CRYPT_E_ASN1_BADARGS, "ASN1: неверные аргументы при вызове функции."),
    M(CRYPT_E_ASN1_BADREAL, "ASN1: неверное вещественное значение."),
    M(CRYPT_E_ASN1_BADTAG, "ASN1: обнаружено неверное значение тега."),
    M(CRYPT_E_ASN1_CHOICE, "ASN1: неверное значение выбора."),
    M(CRYPT_E_ASN1_RULE, "ASN1: неверное правило кодирования."),
    M(CRYPT_E_ASN1_UTF8, "ASN1: неверный Юникод (UTF8)."),
    M(CRYPT_E_ASN1_PDU_TYPE, "ASN1: неверный тип PDU."),
    M(CRYPT_E_ASN1_NYI, "ASN1: не реализовано."),
    M(CRYPT_E_ASN1_EXTENDED, "ASN1: пропущены неизвестные расширения."),
    M(CRYPT_E_ASN1_NOEOD, "ASN1: ожидается конец данных."),

    // Smart cards.
    M(SCARD_E_CANCELLED, "Действие было отменено запросом SCardCancel."),
    M(SCARD_E_NO_SMARTCARD, "Операция требует смарт-карту, но в устройстве нет смарт-карты."),
    M(SCARD_E_NO_SUCH_CERTIFICATE, "Запрошенный сертификат не существует."),
    M(SCARD_E_NO_READERS_AVAILABLE, "Не удается найти ни одного устройства чтения смарт-карт."),
    M(SCARD_E_NO_KEY_CONTAINER, "Запрошенный контейнер ключа на смарт-карте не существует."),
    M(SCARD_W_WRONG_CHV, "Был введен неверный PIN-код."),
    M(SCARD_W_CHV_BLOCKED,
      "Карта не может быть использована, так как превышено максимальное число попыток ввода PIN-кода."),
    M(SCARD_W_CANCELLED_BY_USER, "Действие было отменено пользователем."),
    M(SCARD_W_CARD_NOT_AUTHENTICATED, "Смарт-карта не прошла проверку подлинности."),

    // Certificate trust.
    M(TRUST_E_CERT_SIGNATURE, "Не удалось проверить подпись сертификата."),
    M(TRUST_E_BAD_DIGEST, "Цифровая подпись объекта не прошла проверку."),
    M(TRUST_E_BASIC_CONSTRAINTS, "Основные ограничения сертификата недействительны или отсутствуют."),
    M(TRUST_E_NOSIGNATURE, "Отсутствует подпись в субъекте."),
    M(CERT_E_EXPIRED,
      "Требуемый сертификат не находится в пределах срока действия при проверке по текущему системному "
      "времени или по отметке времени в подписанном файле."),
    M(CERT_E_VALIDITYPERIODNESTING, "Сроки действия цепочки сертификатов вложены неверно."),
    M(CERT_E_ROLE,
      "Сертификат, который может использоваться только в качестве конечной сущности, используется в "
      "качестве центра сертификации или наоборот."),
    M(CERT_E_PATHLENCONST, "Нарушено ограничение длины пути в цепочке сертификатов."),
    M(CERT_E_CRITICAL, "Сертификат содержит неизвестное расширение, помеченное как критическое."),
    M(CERT_E_PURPOSE, "Сертификат используется не по назначению, указанному центром сертификации."),
    M(CERT_E_ISSUERCHAINING, "Родительский сертификат не выпускал этот сертификат."),
    M(CERT_E_MALFORMED, "Отсутствует важное поле сертификата или оно содержит неверные данные."),
    M(CERT_E_UNTRUSTEDROOT,
      "Цепочка сертификатов обработана, но обработка прервана на корневом сертификате, у которого "
      "отсутствует отношение доверия с поставщиком доверия."),
    M(CERT_E_CHAINING, "Невозможно построить цепочку сертификатов для доверенного корневого центра."),
    M(TRUST_E_FAIL, "Общий сбой доверия."),
    M(CERT_E_REVOKED, "Сертификат явно отозван его издателем."),
    M(CERT_E_UNTRUSTEDTESTROOT,
      "Цепочка сертификатов прервана на тестовом корневом сертификате, которому не доверяет текущая "
      "политика."),
    M(CERT_E_REVOCATION_FAILURE,
      "Процесс проверки отзыва не может быть продолжен — невозможно проверить сертификат(ы)."),
    M(CERT_E_CN_NO_MATCH, "Значение имени CN сертификата не совпадает с переданным значением."),
    M(CERT_E_WRONG_USAGE, "Сертификат недопустим для запрашиваемого использования."),
};

#undef M

} // namespace

const char* FindSystemMessage(DWORD code)
{
    for (const Message& message : kMessages)
        if (message.code == code)
            return message.text;
    // A Win32 code wrapped as an HRESULT has the text of the code itself.
    if ((code & 0xFFFF0000u) == 0x80070000u) {
        const DWORD win32 = code & 0xFFFF;
        for (const Message& message : kMessages)
            if (message.code == win32)
                return message.text;
    }
    return nullptr;
}

} // namespace trumik::platform
