#include "KeyPin.h"

#include "Conversions.h"

#include <string>

namespace trumik::common {

bool SetKeyPin(HCRYPTPROV provider, BSTR password)
{
    const std::string pin = BytePerCharacter(password);
    return CryptSetProvParam(provider, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>(pin.c_str()), 0) !=
           FALSE;
}

} // namespace trumik::common
