// The PKCS #11 names the test token is written in: Debian's p11-kit headers
// with the TC26 vendor extensions, and the few TC26 names those headers lack.
//
// p11-kit's compatibility mode maps the standard field names onto its own by
// lower-case macros (value, count, reserved ...), which would rewrite any C++
// header included after it. The structures are declared while the macros are
// in force, then the macros go, so the rest of the code uses the standard
// field names (pValue, ulValueLen ...) and includes what it likes.
#pragma once

#include <p11-kit/pkcs11.h>
#include <p11-kit/pkcs11x.h>

#undef cryptoki_version
#undef manufacturer_id
#undef library_description
#undef library_version
#undef slot_description
#undef hardware_version
#undef firmware_version
#undef serial_number
#undef max_session_count
#undef session_count
#undef max_rw_session_count
#undef rw_session_count
#undef max_pin_len
#undef min_pin_len
#undef total_public_memory
#undef free_public_memory
#undef total_private_memory
#undef free_private_memory
#undef utc_time
#undef slot_id
#undef device_error
#undef value
#undef value_len
#undef count
#undef parameter
#undef parameter_len
#undef params
#undef min_key_size
#undef max_key_size
#undef create_mutex
#undef destroy_mutex
#undef lock_mutex
#undef unlock_mutex
#undef reserved
#undef hash_alg
#undef s_len
#undef source_data
#undef source_data_len
#undef counter_bits
#undef iv_ptr
#undef iv_len
#undef iv_bits
#undef aad_ptr
#undef aad_len
#undef tag_bits
#undef shared_data_len
#undef shared_data
#undef public_data_len
#undef public_data
#undef string_data
#undef string_data_len
#undef data_params

// The TC26 names of the signature-with-digest mechanisms; p11-kit spells them
// with "2012" where the TC26 list has "12".
#ifndef CKM_GOSTR3410_WITH_GOSTR3411_12_256
#define CKM_GOSTR3410_WITH_GOSTR3411_12_256 CKM_GOSTR3410_WITH_GOSTR3411_2012_256
#endif
#ifndef CKM_GOSTR3410_WITH_GOSTR3411_12_512
#define CKM_GOSTR3410_WITH_GOSTR3411_12_512 CKM_GOSTR3410_WITH_GOSTR3411_2012_512
#endif
#ifndef CKM_GOSTR3411_12_256
#define CKM_GOSTR3411_12_256 CKM_GOSTR3411_2012_256
#endif
#ifndef CKM_GOSTR3411_12_512
#define CKM_GOSTR3411_12_512 CKM_GOSTR3411_2012_512
#endif

// The key derivation function of VKO GOST R 34.10-2012 with Streebog-256
// (TC26 value, the same number as its mechanism CKM_KDF_GOSTR3411_2012_256).
#ifndef CKD_KDF_GOSTR3411_2012_256
#define CKD_KDF_GOSTR3411_2012_256 (CK_VENDOR_PKCS11_RU_TEAM_TC26 | 0x026)
#endif

// The parameter of CKM_GOSTR3410_2012_DERIVE (TC26 layout).
typedef struct CK_GOSTR3410_DERIVE_PARAMS {
    CK_ULONG kdf;
    CK_BYTE_PTR pPublicData;
    CK_ULONG ulPublicDataLen;
    CK_BYTE_PTR pUKM;
    CK_ULONG ulUKMLen;
} CK_GOSTR3410_DERIVE_PARAMS;
