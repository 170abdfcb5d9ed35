// The messages of CXmlSigner, with their codes. The class has no error code
// of its own: the code is the start of the message.
#pragma once

#include "common/Messages.h"

namespace trumik::pemsigner::messages {

using common::Message;

// SignWithKey, step by step.
inline constexpr Message kNoKeyFile{10001, u"{} - Путь к PEM-файлу пуст или PEM-файл с ключём не найден."};
inline constexpr Message kNotStarted{
    10003, u"{} - Внутренняя ошибка компонета. Не удалось проинициализировать объекты."};
inline constexpr Message kNotParsed{10005, u"{} - Не удалось произвести разбор указанного документа."};
inline constexpr Message kNoTemplate{10007, u"{}- Не удалось сформировать шаблон подписи."};
inline constexpr Message kNoReference{10009, u"{} - Не удалось добавить ссылку на шаблон подписи."};
inline constexpr Message kNoTransform{10011, u"{} - Не удалось выполнить enveloped-преобразование."};
inline constexpr Message kNoKeyInfoTemplate{10013, u"{} - Не удалось создать шаблон ключа подписи."};
inline constexpr Message kNoKeyValue{25, u"{} - Не удалось создать информацию о ключе подписи."};
inline constexpr Message kNoContext{10015, u"{} - Не удалось сформировать контекст подписи."};
inline constexpr Message kNoKey{10017, u"{} - Не удалось добавить информацию о ключе."};
inline constexpr Message kNoCertificate{10019, u"{} - Не удалось добавить информацию о сертификате."};
inline constexpr Message kNoKeyName{10021, u"{} - Не удалось установить наименование ключа."};
inline constexpr Message kNotSigned{10023, u"{} - Не удалось сформировать подпись."};
// Anything thrown; what it says follows the text.
inline constexpr Message kException{35, u"{} - Не удалось подписать документ.\n"};

} // namespace trumik::pemsigner::messages
