// The key password of a method, handed to the provider as the PIN of the
// key's container. Every class that signs or decrypts with a container key
// sets it through here.
#pragma once

#include <oleauto.h>
#include <wincrypt.h>

namespace trumik::common {

// Sets the password on the provider context as its container's PIN
// (PP_KEYEXCHANGE_PIN): the low byte of each of its first 40 characters, up
// to the first zero byte, so the empty password is the empty PIN. The
// provider checks it here: false, with the thread's last error
// (SCARD_W_WRONG_CHV for a PIN the container refuses), when it is not taken.
// The PIN then stands for the container, process-wide, while the context lives.
bool SetKeyPin(HCRYPTPROV provider, BSTR password);

} // namespace trumik::common
