// The numbered messages of the classes. Each class keeps all of its messages
// in one table (its Messages.h), one entry per message: the code, written
// there once, and the text with "{}" where the code stands in it.
#pragma once

#include <oleauto.h>

#include <string>
#include <string_view>

namespace trumik::common {

struct Message {
    LONG code;
    // "{}" marks where the code is written: as five digits, a negative code
    // in parentheses with its sign, as "(-20001)".
    std::u16string_view text;
};

// The code as messages write it: "01001", "(-20001)".
std::u16string CodeText(LONG code);

// The text with the code written in.
std::u16string MessageText(const Message& message);

} // namespace trumik::common
