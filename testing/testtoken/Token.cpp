// The PKCS #11 entry points of the test token. One mutex guards the
// library's state: the two slots (their token state as last read, the
// process's login and its session objects) and the open sessions. Every entry
// point checks its handle first, then its pointers and lengths, then acts.
// Token state is re-read where another process may have changed it (opening a
// session, logging in, token info, searches) and written after each change.
#include "Gost.h"
#include "Objects.h"
#include "State.h"

#include <openssl/obj_mac.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "Pkcs11.h"

#define TOKEN_EXPORT extern "C" __attribute__((visibility("default")))

namespace trumik::testtoken {

namespace {

constexpr CK_ULONG kSlotCount = 2;
constexpr CK_ULONG kMinPin = 4;
constexpr CK_ULONG kMaxPin = 64;
constexpr unsigned kMaxPinFailures = 10;
constexpr CK_ULONG kSessionObjectBase = 0x40000000;
constexpr const char* kManufacturer = "Zelvane test token";
constexpr const char* kModel = "trumik-testtoken";

// A mechanism the token offers: its key sizes in bits, what it does, the key
// type it needs and, for signatures over data, the digest it takes first.
struct MechanismRule {
    CK_MECHANISM_TYPE type;
    CK_ULONG keyBits;
    CK_FLAGS flags;
    CK_KEY_TYPE keyType;
    int digestNid; // 0: the data is the digest already
};

constexpr MechanismRule kMechanisms[] = {
    {CKM_GOSTR3410_KEY_PAIR_GEN, 256, CKF_GENERATE_KEY_PAIR, CKK_GOSTR3410, 0},
    {CKM_GOSTR3410_512_KEY_PAIR_GEN, 512, CKF_GENERATE_KEY_PAIR, CKK_GOSTR3410_512, 0},
    {CKM_GOSTR3410, 256, CKF_SIGN | CKF_VERIFY, CKK_GOSTR3410, 0},
    {CKM_GOSTR3410_512, 512, CKF_SIGN | CKF_VERIFY, CKK_GOSTR3410_512, 0},
    {CKM_GOSTR3410_WITH_GOSTR3411_12_256, 256, CKF_SIGN | CKF_VERIFY, CKK_GOSTR3410,
     NID_id_GostR3411_2012_256},
    {CKM_GOSTR3410_WITH_GOSTR3411_12_512, 512, CKF_SIGN | CKF_VERIFY, CKK_GOSTR3410_512,
     NID_id_GostR3411_2012_512},
    {CKM_GOSTR3410_WITH_GOSTR3411, 256, CKF_SIGN | CKF_VERIFY, CKK_GOSTR3410, NID_id_GostR3411_94},
    {CKM_GOSTR3410_2012_DERIVE, 256, CKF_DERIVE, CKK_GOSTR3410, 0},
    {CKM_GOSTR3411_12_256, 0, CKF_DIGEST, 0, NID_id_GostR3411_2012_256},
    {CKM_GOSTR3411_12_512, 0, CKF_DIGEST, 0, NID_id_GostR3411_2012_512},
};

const MechanismRule* MechanismOf(CK_MECHANISM_TYPE type)
{
    for (const MechanismRule& rule : kMechanisms)
        if (rule.type == type)
            return &rule;
    return nullptr;
}

// A signature or verification in progress: the key's curve and value are
// copied, so that the key object may go while the operation runs.
struct SignatureOperation {
    const MechanismRule* mechanism = nullptr;
    Curve curve{};
    Bytes key;
    std::unique_ptr<Digest> digest; // for the mechanisms that digest first
    bool multiPart = false;
};

struct Session {
    CK_SLOT_ID slot = 0;
    CK_FLAGS flags = 0;
    std::optional<std::vector<CK_OBJECT_HANDLE>> found; // an active search
    std::unique_ptr<SignatureOperation> sign;
    std::unique_ptr<SignatureOperation> verify;
    std::unique_ptr<Digest> digest;
};

struct SessionObject {
    CK_SESSION_HANDLE owner;
    Object object;
};

struct Slot {
    TokenState token;
    std::optional<CK_USER_TYPE> login;
    std::vector<SessionObject> sessionObjects;
};

struct Library {
    std::mutex mutex;
    bool initialized = false;
    Slot slots[kSlotCount];
    std::map<CK_SESSION_HANDLE, Session> sessions;
    CK_SESSION_HANDLE nextSession = 1;
    CK_OBJECT_HANDLE nextSessionObject = kSessionObjectBase;
};

Library& Lib()
{
    static Library library;
    return library;
}

// Runs an entry point under the library's lock, once C_Initialize has run;
// nothing thrown crosses into the caller.
template <typename F> CK_RV Guarded(F body)
{
    try {
        std::lock_guard<std::mutex> lock(Lib().mutex);
        if (!Lib().initialized)
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        return body(Lib());
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

void Pad(unsigned char* field, size_t size, const std::string& text)
{
    std::memset(field, ' ', size);
    std::memcpy(field, text.data(), std::min(size, text.size()));
}

// --- token state --------------------------------------------------------

CK_RV Reload(Library& lib, CK_SLOT_ID slot)
{
    auto state = LoadState(slot);
    if (!state)
        return CKR_DEVICE_ERROR;
    lib.slots[slot].token = std::move(*state);
    return CKR_OK;
}

// Changes the slot's token state under its lock: change returns the code
// for the caller and sets write when what it did must be kept (a failed PIN
// is kept although the call fails).
template <typename F> CK_RV Change(Library& lib, CK_SLOT_ID slot, F change)
{
    CK_RV rv = CKR_OK;
    TokenState after;
    bool ok = UpdateState(
        slot,
        [&](TokenState& state) {
            bool write = false;
            rv = change(state, write);
            return write;
        },
        after);
    if (!ok)
        return CKR_DEVICE_ERROR;
    lib.slots[slot].token = std::move(after);
    return rv;
}

CK_OBJECT_HANDLE TokenHandle(CK_SLOT_ID slot, unsigned long id)
{
    return ((slot + 1) << 24) | id;
}

// --- sessions -----------------------------------------------------------

void DropSession(Library& lib, CK_SESSION_HANDLE handle)
{
    auto it = lib.sessions.find(handle);
    if (it == lib.sessions.end())
        return;
    CK_SLOT_ID slotId = it->second.slot;
    lib.sessions.erase(it);
    Slot& slot = lib.slots[slotId];
    std::erase_if(slot.sessionObjects, [&](const SessionObject& o) { return o.owner == handle; });
    bool last = std::none_of(lib.sessions.begin(), lib.sessions.end(),
                             [&](const auto& entry) { return entry.second.slot == slotId; });
    if (last)
        slot.login.reset();
}

void DropSlotSessions(Library& lib, CK_SLOT_ID slot)
{
    std::vector<CK_SESSION_HANDLE> handles;
    for (const auto& [handle, session] : lib.sessions)
        if (session.slot == slot)
            handles.push_back(handle);
    for (CK_SESSION_HANDLE handle : handles)
        DropSession(lib, handle);
    lib.slots[slot].login.reset();
}

// The session behind a handle; a session whose token has been taken out is
// closed here and reported once as CKR_DEVICE_REMOVED.
CK_RV FindSession(Library& lib, CK_SESSION_HANDLE handle, Session*& session)
{
    auto it = lib.sessions.find(handle);
    if (it == lib.sessions.end())
        return CKR_SESSION_HANDLE_INVALID;
    if (SlotRemoved(it->second.slot)) {
        DropSlotSessions(lib, it->second.slot);
        return CKR_DEVICE_REMOVED;
    }
    session = &it->second;
    return CKR_OK;
}

// Runs an entry point of a session: under the lock, once its handle is
// known to be good and its token present.
template <typename F> CK_RV InSession(CK_SESSION_HANDLE handle, F body)
{
    return Guarded([&](Library& lib) {
        Session* session = nullptr;
        if (CK_RV rv = FindSession(lib, handle, session); rv != CKR_OK)
            return rv;
        return body(lib, *session);
    });
}

bool ReadWrite(const Session& session)
{
    return (session.flags & CKF_RW_SESSION) != 0;
}

CK_RV CheckSlot(CK_SLOT_ID slot)
{
    if (slot >= kSlotCount)
        return CKR_SLOT_ID_INVALID;
    return SlotRemoved(slot) ? CKR_TOKEN_NOT_PRESENT : CKR_OK;
}

// --- objects ------------------------------------------------------------

bool Visible(const Slot& slot, const Object& object)
{
    return !GetBool(object.attributes, CKA_PRIVATE) || slot.login == CKU_USER;
}

// The object behind a handle in the session's slot, if the session may see it.
Object* FindObject(Library& lib, const Session& session, CK_OBJECT_HANDLE handle)
{
    Slot& slot = lib.slots[session.slot];
    for (Object& object : slot.token.objects)
        if (object.handle == handle)
            return Visible(slot, object) ? &object : nullptr;
    for (SessionObject& entry : slot.sessionObjects)
        if (entry.object.handle == handle)
            return Visible(slot, entry.object) ? &entry.object : nullptr;
    return nullptr;
}

// Whether the session may make or change an object with these attributes.
CK_RV MayWrite(const Library& lib, const Session& session, const Attributes& attributes)
{
    if (GetBool(attributes, CKA_TOKEN) && !ReadWrite(session))
        return CKR_SESSION_READ_ONLY;
    if (GetBool(attributes, CKA_PRIVATE) && lib.slots[session.slot].login != CKU_USER)
        return CKR_USER_NOT_LOGGED_IN;
    return CKR_OK;
}

// Stores new objects: token objects in the state file, in one change, and
// session objects with the session.
CK_RV StoreObjects(Library& lib, CK_SESSION_HANDLE owner, const Session& session,
                   std::vector<Attributes> objects, std::vector<CK_OBJECT_HANDLE>& handles)
{
    CK_SLOT_ID slotId = session.slot;
    handles.assign(objects.size(), CK_INVALID_HANDLE);
    bool anyToken = std::any_of(objects.begin(), objects.end(),
                                [](const Attributes& a) { return GetBool(a, CKA_TOKEN); });
    if (anyToken) {
        CK_RV rv = Change(lib, slotId, [&](TokenState& state, bool& write) {
            for (size_t i = 0; i < objects.size(); ++i) {
                if (!GetBool(objects[i], CKA_TOKEN))
                    continue;
                handles[i] = TokenHandle(slotId, state.nextId++);
                state.objects.push_back(Object{handles[i], objects[i]});
            }
            write = true;
            return CKR_OK;
        });
        if (rv != CKR_OK)
            return rv;
    }
    for (size_t i = 0; i < objects.size(); ++i) {
        if (GetBool(objects[i], CKA_TOKEN))
            continue;
        handles[i] = lib.nextSessionObject++;
        lib.slots[slotId].sessionObjects.push_back(
            SessionObject{owner, Object{handles[i], std::move(objects[i])}});
    }
    return CKR_OK;
}

// --- PINs ---------------------------------------------------------------

bool PinLengthFits(CK_ULONG len)
{
    return len >= kMinPin && len <= kMaxPin;
}

// Checks a PIN against the one kept, counting failures in the state.
CK_RV CheckPin(TokenState& state, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG len, bool& write)
{
    Bytes& kept = user == CKU_SO ? state.soPin : state.userPin;
    unsigned& failures = user == CKU_SO ? state.soFailures : state.userFailures;
    if (kept.empty())
        return user == CKU_SO ? CKR_TOKEN_NOT_RECOGNIZED : CKR_USER_PIN_NOT_INITIALIZED;
    if (failures >= kMaxPinFailures)
        return CKR_PIN_LOCKED;
    if (!SameBytes(PinDigest(state.salt, pin, len), kept)) {
        ++failures;
        write = true;
        return CKR_PIN_INCORRECT;
    }
    if (failures != 0) {
        failures = 0;
        write = true;
    }
    return CKR_OK;
}

void SetPin(TokenState& state, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG len)
{
    (user == CKU_SO ? state.soPin : state.userPin) = PinDigest(state.salt, pin, len);
    (user == CKU_SO ? state.soFailures : state.userFailures) = 0;
}

CK_FLAGS PinFlags(unsigned failures, CK_FLAGS low, CK_FLAGS finalTry, CK_FLAGS locked)
{
    if (failures >= kMaxPinFailures)
        return locked;
    if (failures == kMaxPinFailures - 1)
        return low | finalTry;
    return failures > 0 ? low : 0;
}

// --- signatures ---------------------------------------------------------

// Starts a signature or verification with the key object behind handle.
CK_RV StartSignature(Library& lib, Session& session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key,
                     bool signing)
{
    std::unique_ptr<SignatureOperation>& slot = signing ? session.sign : session.verify;
    if (slot)
        return CKR_OPERATION_ACTIVE;
    if (!mechanism)
        return CKR_ARGUMENTS_BAD;
    const MechanismRule* rule = MechanismOf(mechanism->mechanism);
    if (!rule || !(rule->flags & (signing ? CKF_SIGN : CKF_VERIFY)))
        return CKR_MECHANISM_INVALID;
    if (mechanism->ulParameterLen != 0)
        return CKR_MECHANISM_PARAM_INVALID;
    Object* object = FindObject(lib, session, key);
    if (!object)
        return lib.slots[session.slot].login != CKU_USER && signing ? CKR_USER_NOT_LOGGED_IN
                                                                    : CKR_KEY_HANDLE_INVALID;
    const Attributes& a = object->attributes;
    if (GetUlong(a, CKA_CLASS) != (signing ? CKO_PRIVATE_KEY : CKO_PUBLIC_KEY))
        return CKR_KEY_TYPE_INCONSISTENT;
    if (GetUlong(a, CKA_KEY_TYPE) != rule->keyType)
        return CKR_KEY_TYPE_INCONSISTENT;
    if (!GetBool(a, signing ? CKA_SIGN : CKA_VERIFY))
        return CKR_KEY_FUNCTION_NOT_PERMITTED;
    if (signing && lib.slots[session.slot].login != CKU_USER)
        return CKR_USER_NOT_LOGGED_IN;
    auto curve = CurveOf(a);
    auto value = a.find(CKA_VALUE);
    if (!curve || value == a.end())
        return CKR_KEY_TYPE_INCONSISTENT;
    auto op = std::make_unique<SignatureOperation>();
    op->mechanism = rule;
    op->curve = *curve;
    op->key = value->second;
    if (rule->digestNid) {
        op->digest = std::make_unique<Digest>(rule->digestNid);
        if (!op->digest->Ok())
            return CKR_DEVICE_ERROR;
    }
    slot = std::move(op);
    return CKR_OK;
}

// Adds data to a multi-part operation.
CK_RV UpdateSignature(std::unique_ptr<SignatureOperation>& op, CK_BYTE_PTR data, CK_ULONG len)
{
    if (!op)
        return CKR_OPERATION_NOT_INITIALIZED;
    if (!data && len > 0) {
        op.reset();
        return CKR_ARGUMENTS_BAD;
    }
    if (!op->digest) {
        op.reset();
        return CKR_FUNCTION_NOT_SUPPORTED;
    }
    op->multiPart = true;
    if (!op->digest->Update(data, len)) {
        op.reset();
        return CKR_DEVICE_ERROR;
    }
    return CKR_OK;
}

// The digest that gets signed: the whole data for a single-part call, else
// what the updates gave.
std::optional<Bytes> DigestToSign(SignatureOperation& op, const CK_BYTE* data, CK_ULONG len, bool singlePart)
{
    if (op.digest) {
        if (singlePart && !op.digest->Update(data, len))
            return std::nullopt;
        return op.digest->Final();
    }
    return Bytes(data, data + len);
}

// C_Sign and C_SignFinal: a length query or a short buffer leaves the
// operation running; anything else ends it.
CK_RV FinishSign(Session& session, const CK_BYTE* data, CK_ULONG dataLen, bool singlePart,
                 CK_BYTE_PTR signature, CK_ULONG_PTR signatureLen)
{
    std::unique_ptr<SignatureOperation>& op = session.sign;
    if (!op)
        return CKR_OPERATION_NOT_INITIALIZED;
    if (!signatureLen || (singlePart && !data && dataLen > 0)) {
        op.reset();
        return CKR_ARGUMENTS_BAD;
    }
    if (singlePart && op->multiPart) {
        op.reset();
        return CKR_OPERATION_ACTIVE;
    }
    CK_ULONG needed = SignatureSize(op->curve.kind);
    if (!signature) {
        *signatureLen = needed;
        return CKR_OK;
    }
    if (*signatureLen < needed) {
        *signatureLen = needed;
        return CKR_BUFFER_TOO_SMALL;
    }
    std::unique_ptr<SignatureOperation> running = std::move(op);
    if (!running->digest && dataLen != CoordinateSize(running->curve.kind))
        return CKR_DATA_LEN_RANGE;
    auto digest = DigestToSign(*running, data, dataLen, singlePart);
    auto result = digest ? SignDigest(running->curve, running->key, *digest) : std::nullopt;
    if (!result)
        return CKR_FUNCTION_FAILED;
    std::memcpy(signature, result->data(), result->size());
    *signatureLen = result->size();
    return CKR_OK;
}

CK_RV FinishVerify(Session& session, const CK_BYTE* data, CK_ULONG dataLen, bool singlePart,
                   CK_BYTE_PTR signature, CK_ULONG signatureLen)
{
    std::unique_ptr<SignatureOperation> op = std::move(session.verify);
    if (!op)
        return CKR_OPERATION_NOT_INITIALIZED;
    if (!signature || (singlePart && !data && dataLen > 0))
        return CKR_ARGUMENTS_BAD;
    if (singlePart && op->multiPart)
        return CKR_OPERATION_ACTIVE;
    if (!op->digest && dataLen != CoordinateSize(op->curve.kind))
        return CKR_DATA_LEN_RANGE;
    if (signatureLen != SignatureSize(op->curve.kind))
        return CKR_SIGNATURE_LEN_RANGE;
    auto digest = DigestToSign(*op, data, dataLen, singlePart);
    if (!digest)
        return CKR_FUNCTION_FAILED;
    return VerifyDigest(op->curve, op->key, *digest, Bytes(signature, signature + signatureLen))
               ? CKR_OK
               : CKR_SIGNATURE_INVALID;
}

// Copies out a fixed-size digest or a length, as C_Digest and C_DigestFinal do.
CK_RV FinishDigest(Session& session, const CK_BYTE* data, CK_ULONG dataLen, bool singlePart, CK_BYTE_PTR out,
                   CK_ULONG_PTR outLen)
{
    if (!session.digest)
        return CKR_OPERATION_NOT_INITIALIZED;
    if (!outLen || (singlePart && !data && dataLen > 0)) {
        session.digest.reset();
        return CKR_ARGUMENTS_BAD;
    }
    CK_ULONG needed = session.digest->Size();
    if (!out) {
        *outLen = needed;
        return CKR_OK;
    }
    if (*outLen < needed) {
        *outLen = needed;
        return CKR_BUFFER_TOO_SMALL;
    }
    std::unique_ptr<Digest> digest = std::move(session.digest);
    if (singlePart && !digest->Update(data, dataLen))
        return CKR_FUNCTION_FAILED;
    auto value = digest->Final();
    if (!value)
        return CKR_FUNCTION_FAILED;
    std::memcpy(out, value->data(), value->size());
    *outLen = value->size();
    return CKR_OK;
}

// Fills a caller's list (slots, mechanisms, handles) as PKCS #11 lists go:
// a null list asks for the count; a short one gets the count and
// CKR_BUFFER_TOO_SMALL.
template <typename T> CK_RV FillList(const std::vector<T>& items, T* list, CK_ULONG_PTR count)
{
    if (!count)
        return CKR_ARGUMENTS_BAD;
    CK_ULONG room = *count;
    *count = items.size();
    if (!list)
        return CKR_OK;
    if (room < items.size())
        return CKR_BUFFER_TOO_SMALL;
    std::copy(items.begin(), items.end(), list);
    return CKR_OK;
}

template <typename... Args> CK_RV NotSupported(Args...)
{
    return CKR_FUNCTION_NOT_SUPPORTED;
}

} // namespace

} // namespace trumik::testtoken

using namespace trumik::testtoken;

TOKEN_EXPORT CK_RV C_Initialize(CK_VOID_PTR initArgs)
{
    try {
        if (initArgs) {
            const auto* args = static_cast<const CK_C_INITIALIZE_ARGS*>(initArgs);
            if (args->pReserved)
                return CKR_ARGUMENTS_BAD;
            bool someFunctions =
                args->CreateMutex || args->DestroyMutex || args->LockMutex || args->UnlockMutex;
            bool allFunctions =
                args->CreateMutex && args->DestroyMutex && args->LockMutex && args->UnlockMutex;
            if (someFunctions && !allFunctions)
                return CKR_ARGUMENTS_BAD;
            // The token locks with the system's own primitives only.
            if (allFunctions && !(args->flags & CKF_OS_LOCKING_OK))
                return CKR_CANT_LOCK;
        }
        Library& lib = Lib();
        std::lock_guard<std::mutex> lock(lib.mutex);
        if (lib.initialized)
            return CKR_CRYPTOKI_ALREADY_INITIALIZED;
        // A slot whose state cannot be read stays as it is: its own calls
        // report CKR_DEVICE_ERROR, the other slot works.
        for (CK_SLOT_ID slot = 0; slot < kSlotCount; ++slot) {
            lib.slots[slot] = Slot{};
            Reload(lib, slot);
        }
        lib.sessions.clear();
        lib.initialized = true;
        return CKR_OK;
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

TOKEN_EXPORT CK_RV C_Finalize(CK_VOID_PTR reserved)
{
    if (reserved)
        return CKR_ARGUMENTS_BAD;
    return Guarded([](Library& lib) {
        lib.sessions.clear();
        for (Slot& slot : lib.slots)
            slot = Slot{};
        lib.initialized = false;
        return CKR_OK;
    });
}

TOKEN_EXPORT CK_RV C_GetInfo(CK_INFO_PTR info)
{
    return Guarded([&](Library&) {
        if (!info)
            return CKR_ARGUMENTS_BAD;
        *info = CK_INFO{};
        info->cryptokiVersion = {CRYPTOKI_VERSION_MAJOR, CRYPTOKI_VERSION_MINOR};
        Pad(info->manufacturerID, sizeof info->manufacturerID, kManufacturer);
        Pad(info->libraryDescription, sizeof info->libraryDescription, kModel);
        info->libraryVersion = {1, 0};
        return CKR_OK;
    });
}

TOKEN_EXPORT CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count)
{
    return Guarded([&](Library&) {
        std::vector<CK_SLOT_ID> slots;
        for (CK_SLOT_ID slot = 0; slot < kSlotCount; ++slot)
            if (!tokenPresent || !SlotRemoved(slot))
                slots.push_back(slot);
        return FillList(slots, list, count);
    });
}

TOKEN_EXPORT CK_RV C_GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info)
{
    return Guarded([&](Library&) {
        if (slot >= kSlotCount)
            return CKR_SLOT_ID_INVALID;
        if (!info)
            return CKR_ARGUMENTS_BAD;
        *info = CK_SLOT_INFO{};
        Pad(info->slotDescription, sizeof info->slotDescription,
            std::string(kModel) + " slot " + std::to_string(slot));
        Pad(info->manufacturerID, sizeof info->manufacturerID, kManufacturer);
        info->flags = CKF_REMOVABLE_DEVICE | (SlotRemoved(slot) ? 0 : CKF_TOKEN_PRESENT);
        info->hardwareVersion = {1, 0};
        info->firmwareVersion = {1, 0};
        return CKR_OK;
    });
}

TOKEN_EXPORT CK_RV C_GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info)
{
    return Guarded([&](Library& lib) {
        if (CK_RV rv = CheckSlot(slot); rv != CKR_OK)
            return rv;
        if (!info)
            return CKR_ARGUMENTS_BAD;
        if (CK_RV rv = Reload(lib, slot); rv != CKR_OK)
            return rv;
        const TokenState& token = lib.slots[slot].token;
        *info = CK_TOKEN_INFO{};
        Pad(info->label, sizeof info->label, token.label);
        Pad(info->manufacturerID, sizeof info->manufacturerID, kManufacturer);
        Pad(info->model, sizeof info->model, kModel);
        Pad(info->serialNumber, sizeof info->serialNumber, "TT000000000000" + std::to_string(10 + slot));
        info->flags = CKF_RNG | CKF_LOGIN_REQUIRED;
        if (token.initialized)
            info->flags |= CKF_TOKEN_INITIALIZED;
        if (!token.userPin.empty())
            info->flags |= CKF_USER_PIN_INITIALIZED;
        info->flags |=
            PinFlags(token.userFailures, CKF_USER_PIN_COUNT_LOW, CKF_USER_PIN_FINAL_TRY, CKF_USER_PIN_LOCKED);
        info->flags |=
            PinFlags(token.soFailures, CKF_SO_PIN_COUNT_LOW, CKF_SO_PIN_FINAL_TRY, CKF_SO_PIN_LOCKED);
        CK_ULONG sessions = 0, rwSessions = 0;
        for (const auto& [handle, session] : lib.sessions) {
            if (session.slot != slot)
                continue;
            ++sessions;
            rwSessions += ReadWrite(session) ? 1 : 0;
        }
        info->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
        info->ulSessionCount = sessions;
        info->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
        info->ulRwSessionCount = rwSessions;
        info->ulMaxPinLen = kMaxPin;
        info->ulMinPinLen = kMinPin;
        info->ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
        info->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
        info->ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
        info->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
        info->hardwareVersion = {1, 0};
        info->firmwareVersion = {1, 0};
        Pad(info->utcTime, sizeof info->utcTime, "");
        return CKR_OK;
    });
}

TOKEN_EXPORT CK_RV C_GetMechanismList(CK_SLOT_ID slot, CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count)
{
    return Guarded([&](Library&) {
        if (CK_RV rv = CheckSlot(slot); rv != CKR_OK)
            return rv;
        std::vector<CK_MECHANISM_TYPE> types;
        for (const MechanismRule& rule : kMechanisms)
            types.push_back(rule.type);
        return FillList(types, list, count);
    });
}

TOKEN_EXPORT CK_RV C_GetMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info)
{
    return Guarded([&](Library&) {
        if (CK_RV rv = CheckSlot(slot); rv != CKR_OK)
            return rv;
        const MechanismRule* rule = MechanismOf(type);
        if (!rule)
            return CKR_MECHANISM_INVALID;
        if (!info)
            return CKR_ARGUMENTS_BAD;
        info->ulMinKeySize = rule->keyBits;
        info->ulMaxKeySize = rule->type == CKM_GOSTR3410_2012_DERIVE ? 512 : rule->keyBits;
        info->flags = rule->flags;
        return CKR_OK;
    });
}

TOKEN_EXPORT CK_RV C_InitToken(CK_SLOT_ID slot, CK_UTF8CHAR_PTR pin, CK_ULONG pinLen, CK_UTF8CHAR_PTR label)
{
    return Guarded([&](Library& lib) {
        if (CK_RV rv = CheckSlot(slot); rv != CKR_OK)
            return rv;
        if (!pin || !label)
            return CKR_ARGUMENTS_BAD;
        for (const auto& [handle, session] : lib.sessions)
            if (session.slot == slot)
                return CKR_SESSION_EXISTS;
        return Change(lib, slot, [&](TokenState& state, bool& write) {
            if (state.initialized) {
                if (CK_RV rv = CheckPin(state, CKU_SO, pin, pinLen, write); rv != CKR_OK)
                    return rv;
            } else if (!PinLengthFits(pinLen)) {
                return static_cast<CK_RV>(CKR_PIN_LEN_RANGE);
            }
            TokenState fresh;
            fresh.initialized = true;
            fresh.label.assign(reinterpret_cast<const char*>(label), 32);
            fresh.salt.resize(16);
            fresh.nextId = state.nextId; // handles of wiped objects are never given again
            if (!RandomBytes(fresh.salt.data(), fresh.salt.size()))
                return static_cast<CK_RV>(CKR_DEVICE_ERROR);
            SetPin(fresh, CKU_SO, pin, pinLen);
            state = std::move(fresh);
            write = true;
            return static_cast<CK_RV>(CKR_OK);
        });
    });
}

TOKEN_EXPORT CK_RV C_InitPIN(CK_SESSION_HANDLE handle, CK_UTF8CHAR_PTR pin, CK_ULONG pinLen)
{
    return InSession(handle, [&](Library& lib, Session& session) {
        if (lib.slots[session.slot].login != CKU_SO)
            return CKR_USER_NOT_LOGGED_IN;
        if (!pin)
            return CKR_ARGUMENTS_BAD;
        if (!PinLengthFits(pinLen))
            return CKR_PIN_LEN_RANGE;
        return Change(lib, session.slot, [&](TokenState& state, bool& write) {
            SetPin(state, CKU_USER, pin, pinLen);
            write = true;
            return static_cast<CK_RV>(CKR_OK);
        });
    });
}

TOKEN_EXPORT CK_RV C_SetPIN(CK_SESSION_HANDLE handle, CK_UTF8CHAR_PTR oldPin, CK_ULONG oldLen,
                            CK_UTF8CHAR_PTR newPin, CK_ULONG newLen)
{
    return InSession(handle, [&](Library& lib, Session& session) {
        if (!ReadWrite(session))
            return CKR_SESSION_READ_ONLY;
        if (!oldPin || !newPin)
            return CKR_ARGUMENTS_BAD;
        if (!PinLengthFits(newLen))
            return CKR_PIN_LEN_RANGE;
        CK_USER_TYPE user = lib.slots[session.slot].login == CKU_SO ? CKU_SO : CKU_USER;
        return Change(lib, session.slot, [&](TokenState& state, bool& write) {
            if (CK_RV rv = CheckPin(state, user, oldPin, oldLen, write); rv != CKR_OK)
                return rv;
            SetPin(state, user, newPin, newLen);
            write = true;
            return static_cast<CK_RV>(CKR_OK);
        });
    });
}

TOKEN_EXPORT CK_RV C_OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY,
                                 CK_SESSION_HANDLE_PTR handle)
{
    return Guarded([&](Library& lib) {
        if (CK_RV rv = CheckSlot(slot); rv != CKR_OK)
            return rv;
        if (!(flags & CKF_SERIAL_SESSION))
            return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
        if (!handle)
            return CKR_ARGUMENTS_BAD;
        if (!(flags & CKF_RW_SESSION) && lib.slots[slot].login == CKU_SO)
            return CKR_SESSION_READ_WRITE_SO_EXISTS;
        if (CK_RV rv = Reload(lib, slot); rv != CKR_OK)
            return rv;
        Session session;
        session.slot = slot;
        session.flags = flags & (CKF_SERIAL_SESSION | CKF_RW_SESSION);
        *handle = lib.nextSession++;
        lib.sessions.emplace(*handle, std::move(session));
        return CKR_OK;
    });
}

TOKEN_EXPORT CK_RV C_CloseSession(CK_SESSION_HANDLE handle)
{
    return InSession(handle, [&](Library& lib, Session&) {
        DropSession(lib, handle);
        return CKR_OK;
    });
}

TOKEN_EXPORT CK_RV C_CloseAllSessions(CK_SLOT_ID slot)
{
    return Guarded([&](Library& lib) {
        if (slot >= kSlotCount)
            return CKR_SLOT_ID_INVALID;
        DropSlotSessions(lib, slot);
        return SlotRemoved(slot) ? CKR_TOKEN_NOT_PRESENT : CKR_OK;
    });
}

TOKEN_EXPORT CK_RV C_GetSessionInfo(CK_SESSION_HANDLE handle, CK_SESSION_INFO_PTR info)
{
    return InSession(handle, [&](Library& lib, Session& session) {
        if (!info)
            return CKR_ARGUMENTS_BAD;
        const auto& login = lib.slots[session.slot].login;
        bool rw = ReadWrite(session);
        info->slotID = session.slot;
        info->flags = session.flags;
        info->ulDeviceError = 0;
        if (login == CKU_SO)
            info->state = CKS_RW_SO_FUNCTIONS;
        else if (login == CKU_USER)
            info->state = rw ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS;
        else
            info->state = rw ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION;
        return CKR_OK;
    });
}

TOKEN_EXPORT CK_RV C_Login(CK_SESSION_HANDLE handle, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG pinLen)
{
    return InSession(handle, [&](Library& lib, Session& session) {
        if (user == CKU_CONTEXT_SPECIFIC)
            return CKR_OPERATION_NOT_INITIALIZED;
        if (user != CKU_SO && user != CKU_USER)
            return CKR_USER_TYPE_INVALID;
        Slot& slot = lib.slots[session.slot];
        if (slot.login == user)
            return CKR_USER_ALREADY_LOGGED_IN;
        if (slot.login)
            return CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
        if (user == CKU_SO)
            for (const auto& [h, other] : lib.sessions)
                if (other.slot == session.slot && !ReadWrite(other))
                    return CKR_SESSION_READ_ONLY_EXISTS;
        if (!pin && pinLen > 0)
            return CKR_ARGUMENTS_BAD;
        CK_SLOT_ID slotId = session.slot;
        CK_RV rv = Change(lib, slotId, [&](TokenState& state, bool& write) {
            return CheckPin(state, user, pin, pinLen, write);
        });
        if (rv == CKR_OK)
            lib.slots[slotId].login = user;
        return rv;
    });
}

TOKEN_EXPORT CK_RV C_Logout(CK_SESSION_HANDLE handle)
{
    return InSession(handle, [&](Library& lib, Session& session) {
        Slot& slot = lib.slots[session.slot];
        if (!slot.login)
            return CKR_USER_NOT_LOGGED_IN;
        slot.login.reset();
        return CKR_OK;
    });
}

TOKEN_EXPORT CK_RV C_CreateObject(CK_SESSION_HANDLE handle, CK_ATTRIBUTE_PTR attributes, CK_ULONG count,
                                  CK_OBJECT_HANDLE_PTR object)
{
    return InSession(handle, [&](Library& lib, Session& session) {
        if (!object)
            return CKR_ARGUMENTS_BAD;
        Attributes a;
        if (CK_RV rv = ReadTemplate(attributes, count, a); rv != CKR_OK)
            return rv;
        if (CK_RV rv = CompleteNewObject(a); rv != CKR_OK)
            return rv;
        if (CK_RV rv = MayWrite(lib, session, a); rv != CKR_OK)
            return rv;
        std::vector<CK_OBJECT_HANDLE> handles;
        std::vector<Attributes> objects;
        objects.push_back(std::move(a));
        if (CK_RV rv = StoreObjects(lib, handle, session, std::move(objects), handles); rv != CKR_OK)
            return rv;
        *object = handles[0];
        return CKR_OK;
    });
}

TOKEN_EXPORT CK_RV C_DestroyObject(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object)
{
    return InSession(handle, [&](Library& lib, Session& session) {
        const Object* found = FindObject(lib, session, object);
        if (!found)
            return CKR_OBJECT_HANDLE_INVALID;
        if (CK_RV rv = MayWrite(lib, session, found->attributes); rv != CKR_OK)
            return rv;
        if (!GetBool(found->attributes, CKA_DESTROYABLE, true))
            return CKR_ACTION_PROHIBITED;
        if (!GetBool(found->attributes, CKA_TOKEN)) {
            std::erase_if(lib.slots[session.slot].sessionObjects,
                          [&](const SessionObject& o) { return o.object.handle == object; });
            return CKR_OK;
        }
        return Change(lib, session.slot, [&](TokenState& state, bool& write) {
            write = std::erase_if(state.objects, [&](const Object& o) { return o.handle == object; }) > 0;
            return static_cast<CK_RV>(write ? CKR_OK : CKR_OBJECT_HANDLE_INVALID);
        });
    });
}

TOKEN_EXPORT CK_RV C_GetObjectSize(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object, CK_ULONG_PTR size)
{
    return InSession(handle, [&](Library& lib, Session& session) {
        if (!FindObject(lib, session, object))
            return CKR_OBJECT_HANDLE_INVALID;
        if (!size)
            return CKR_ARGUMENTS_BAD;
        *size = CK_UNAVAILABLE_INFORMATION;
        return CKR_OK;
    });
}

TOKEN_EXPORT CK_RV C_GetAttributeValue(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object,
                                       CK_ATTRIBUTE_PTR attributes, CK_ULONG count)
{
    return InSession(handle, [&](Library& lib, Session& session) {
        const Object* found = FindObject(lib, session, object);
        if (!found)
            return CKR_OBJECT_HANDLE_INVALID;
        if (!attributes && count > 0)
            return CKR_ARGUMENTS_BAD;
        // Every attribute is answered; the call reports the first refusal.
        CK_RV result = CKR_OK;
        auto refuse = [&](CK_ATTRIBUTE& attribute, CK_RV rv) {
            attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            if (result == CKR_OK)
                result = rv;
        };
        for (CK_ULONG i = 0; i < count; ++i) {
            CK_ATTRIBUTE& attribute = attributes[i];
            auto it = found->attributes.find(attribute.type);
            if (AttributeSensitive(found->attributes, attribute.type)) {
                refuse(attribute, CKR_ATTRIBUTE_SENSITIVE);
            } else if (it == found->attributes.end()) {
                refuse(attribute, CKR_ATTRIBUTE_TYPE_INVALID);
            } else if (!attribute.pValue) {
                attribute.ulValueLen = it->second.size();
            } else if (attribute.ulValueLen < it->second.size()) {
                refuse(attribute, CKR_BUFFER_TOO_SMALL);
            } else {
                std::memcpy(attribute.pValue, it->second.data(), it->second.size());
                attribute.ulValueLen = it->second.size();
            }
        }
        return result;
    });
}

TOKEN_EXPORT CK_RV C_SetAttributeValue(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object,
                                       CK_ATTRIBUTE_PTR attributes, CK_ULONG count)
{
    return InSession(handle, [&](Library& lib, Session& session) {
        Object* found = FindObject(lib, session, object);
        if (!found)
            return CKR_OBJECT_HANDLE_INVALID;
        Attributes changes;
        if (CK_RV rv = ReadTemplate(attributes, count, changes); rv != CKR_OK)
            return rv;
        for (const auto& [type, value] : changes)
            if (!AttributeSettable(type))
                return CKR_ATTRIBUTE_READ_ONLY;
        if (CK_RV rv = MayWrite(lib, session, found->attributes); rv != CKR_OK)
            return rv;
        if (!GetBool(found->attributes, CKA_MODIFIABLE, true))
            return CKR_ACTION_PROHIBITED;
        if (!GetBool(found->attributes, CKA_TOKEN)) {
            for (auto& [type, value] : changes)
                found->attributes[type] = value;
            return CKR_OK;
        }
        return Change(lib, session.slot, [&](TokenState& state, bool& write) {
            for (Object& stored : state.objects) {
                if (stored.handle != object)
                    continue;
                for (auto& [type, value] : changes)
                    stored.attributes[type] = value;
                write = true;
                return static_cast<CK_RV>(CKR_OK);
            }
            return static_cast<CK_RV>(CKR_OBJECT_HANDLE_INVALID);
        });
    });
}

TOKEN_EXPORT CK_RV C_FindObjectsInit(CK_SESSION_HANDLE handle, CK_ATTRIBUTE_PTR attributes, CK_ULONG count)
{
    return InSession(handle, [&](Library& lib, Session& session) {
        if (session.found)
            return CKR_OPERATION_ACTIVE;
        Attributes search;
        if (CK_RV rv = ReadTemplate(attributes, count, search); rv != CKR_OK)
            return rv;
        if (CK_RV rv = Reload(lib, session.slot); rv != CKR_OK)
            return rv;
        const Slot& slot = lib.slots[session.slot];
        std::vector<CK_OBJECT_HANDLE> found;
        auto consider = [&](const Object& object) {
            if (Visible(slot, object) && Matches(object.attributes, search))
                found.push_back(object.handle);
        };
        for (const Object& object : slot.token.objects)
            consider(object);
        for (const SessionObject& entry : slot.sessionObjects)
            consider(entry.object);
        // Handed out from the back, so the first found comes first.
        std::reverse(found.begin(), found.end());
        session.found = std::move(found);
        return CKR_OK;
    });
}

TOKEN_EXPORT CK_RV C_FindObjects(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE_PTR objects, CK_ULONG max,
                                 CK_ULONG_PTR count)
{
    return InSession(handle, [&](Library&, Session& session) {
        if (!session.found)
            return CKR_OPERATION_NOT_INITIALIZED;
        if (!count || (!objects && max > 0))
            return CKR_ARGUMENTS_BAD;
        std::vector<CK_OBJECT_HANDLE>& found = *session.found;
        CK_ULONG n = 0;
        while (n < max && !found.empty()) {
            objects[n++] = found.back();
            found.pop_back();
        }
        *count = n;
        return CKR_OK;
    });
}

TOKEN_EXPORT CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE handle)
{
    return InSession(handle, [&](Library&, Session& session) {
        if (!session.found)
            return CKR_OPERATION_NOT_INITIALIZED;
        session.found.reset();
        return CKR_OK;
    });
}

TOKEN_EXPORT CK_RV C_DigestInit(CK_SESSION_HANDLE handle, CK_MECHANISM_PTR mechanism)
{
    return InSession(handle, [&](Library&, Session& session) {
        if (session.digest)
            return CKR_OPERATION_ACTIVE;
        if (!mechanism)
            return CKR_ARGUMENTS_BAD;
        const MechanismRule* rule = MechanismOf(mechanism->mechanism);
        if (!rule || !(rule->flags & CKF_DIGEST))
            return CKR_MECHANISM_INVALID;
        auto digest = std::make_unique<Digest>(rule->digestNid);
        if (!digest->Ok())
            return CKR_DEVICE_ERROR;
        session.digest = std::move(digest);
        return CKR_OK;
    });
}

TOKEN_EXPORT CK_RV C_Digest(CK_SESSION_HANDLE handle, CK_BYTE_PTR data, CK_ULONG len, CK_BYTE_PTR out,
                            CK_ULONG_PTR outLen)
{
    return InSession(handle, [&](Library&, Session& session) {
        return FinishDigest(session, data, len, true, out, outLen);
    });
}

TOKEN_EXPORT CK_RV C_DigestUpdate(CK_SESSION_HANDLE handle, CK_BYTE_PTR data, CK_ULONG len)
{
    return InSession(handle, [&](Library&, Session& session) {
        if (!session.digest)
            return CKR_OPERATION_NOT_INITIALIZED;
        if ((!data && len > 0) || !session.digest->Update(data, len)) {
            session.digest.reset();
            return data ? CKR_FUNCTION_FAILED : CKR_ARGUMENTS_BAD;
        }
        return CKR_OK;
    });
}

TOKEN_EXPORT CK_RV C_DigestFinal(CK_SESSION_HANDLE handle, CK_BYTE_PTR out, CK_ULONG_PTR outLen)
{
    return InSession(handle, [&](Library&, Session& session) {
        return FinishDigest(session, nullptr, 0, false, out, outLen);
    });
}

TOKEN_EXPORT CK_RV C_SignInit(CK_SESSION_HANDLE handle, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key)
{
    return InSession(handle, [&](Library& lib, Session& session) {
        return StartSignature(lib, session, mechanism, key, true);
    });
}

TOKEN_EXPORT CK_RV C_Sign(CK_SESSION_HANDLE handle, CK_BYTE_PTR data, CK_ULONG len, CK_BYTE_PTR signature,
                          CK_ULONG_PTR signatureLen)
{
    return InSession(handle, [&](Library&, Session& session) {
        return FinishSign(session, data, len, true, signature, signatureLen);
    });
}

TOKEN_EXPORT CK_RV C_SignUpdate(CK_SESSION_HANDLE handle, CK_BYTE_PTR data, CK_ULONG len)
{
    return InSession(handle,
                     [&](Library&, Session& session) { return UpdateSignature(session.sign, data, len); });
}

TOKEN_EXPORT CK_RV C_SignFinal(CK_SESSION_HANDLE handle, CK_BYTE_PTR signature, CK_ULONG_PTR signatureLen)
{
    return InSession(handle, [&](Library&, Session& session) {
        return FinishSign(session, nullptr, 0, false, signature, signatureLen);
    });
}

TOKEN_EXPORT CK_RV C_VerifyInit(CK_SESSION_HANDLE handle, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key)
{
    return InSession(handle, [&](Library& lib, Session& session) {
        return StartSignature(lib, session, mechanism, key, false);
    });
}

TOKEN_EXPORT CK_RV C_Verify(CK_SESSION_HANDLE handle, CK_BYTE_PTR data, CK_ULONG len, CK_BYTE_PTR signature,
                            CK_ULONG signatureLen)
{
    return InSession(handle, [&](Library&, Session& session) {
        return FinishVerify(session, data, len, true, signature, signatureLen);
    });
}

TOKEN_EXPORT CK_RV C_VerifyUpdate(CK_SESSION_HANDLE handle, CK_BYTE_PTR data, CK_ULONG len)
{
    return InSession(handle,
                     [&](Library&, Session& session) { return UpdateSignature(session.verify, data, len); });
}

TOKEN_EXPORT CK_RV C_VerifyFinal(CK_SESSION_HANDLE handle, CK_BYTE_PTR signature, CK_ULONG signatureLen)
{
    return InSession(handle, [&](Library&, Session& session) {
        return FinishVerify(session, nullptr, 0, false, signature, signatureLen);
    });
}

TOKEN_EXPORT CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE handle, CK_MECHANISM_PTR mechanism,
                                     CK_ATTRIBUTE_PTR publicTemplate, CK_ULONG publicCount,
                                     CK_ATTRIBUTE_PTR privateTemplate, CK_ULONG privateCount,
                                     CK_OBJECT_HANDLE_PTR publicKey, CK_OBJECT_HANDLE_PTR privateKey)
{
    return InSession(handle, [&](Library& lib, Session& session) {
        if (!mechanism || !publicKey || !privateKey)
            return CKR_ARGUMENTS_BAD;
        const MechanismRule* rule = MechanismOf(mechanism->mechanism);
        if (!rule || !(rule->flags & CKF_GENERATE_KEY_PAIR))
            return CKR_MECHANISM_INVALID;
        Attributes pub, priv;
        if (CK_RV rv = ReadTemplate(publicTemplate, publicCount, pub); rv != CKR_OK)
            return rv;
        if (CK_RV rv = ReadTemplate(privateTemplate, privateCount, priv); rv != CKR_OK)
            return rv;
        Curve curve{};
        if (CK_RV rv = CheckKeyPairTemplates(rule->type, pub, priv, curve); rv != CKR_OK)
            return rv;
        priv.emplace(CKA_PRIVATE, BoolValue(true));
        for (const Attributes* a : {&pub, &priv})
            if (CK_RV rv = MayWrite(lib, session, *a); rv != CKR_OK)
                return rv;
        auto pair = GenerateKeyPair(curve);
        if (!pair)
            return CKR_FUNCTION_FAILED;
        CompleteKeyPair(rule->type, *pair, pub, priv);
        std::vector<Attributes> objects;
        objects.push_back(std::move(pub));
        objects.push_back(std::move(priv));
        std::vector<CK_OBJECT_HANDLE> handles;
        if (CK_RV rv = StoreObjects(lib, handle, session, std::move(objects), handles); rv != CKR_OK)
            return rv;
        *publicKey = handles[0];
        *privateKey = handles[1];
        return CKR_OK;
    });
}

TOKEN_EXPORT CK_RV C_DeriveKey(CK_SESSION_HANDLE handle, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE baseKey,
                               CK_ATTRIBUTE_PTR attributes, CK_ULONG count, CK_OBJECT_HANDLE_PTR key)
{
    return InSession(handle, [&](Library& lib, Session& session) {
        if (!mechanism || !key)
            return CKR_ARGUMENTS_BAD;
        if (mechanism->mechanism != CKM_GOSTR3410_2012_DERIVE)
            return CKR_MECHANISM_INVALID;
        if (!mechanism->pParameter || mechanism->ulParameterLen != sizeof(CK_GOSTR3410_DERIVE_PARAMS))
            return CKR_MECHANISM_PARAM_INVALID;
        const auto& params = *static_cast<const CK_GOSTR3410_DERIVE_PARAMS*>(mechanism->pParameter);
        if (lib.slots[session.slot].login != CKU_USER)
            return CKR_USER_NOT_LOGGED_IN;
        const Object* base = FindObject(lib, session, baseKey);
        if (!base)
            return CKR_KEY_HANDLE_INVALID;
        auto curve = CurveOf(base->attributes);
        if (GetUlong(base->attributes, CKA_CLASS) != CKO_PRIVATE_KEY || !curve)
            return CKR_KEY_TYPE_INCONSISTENT;
        if (!GetBool(base->attributes, CKA_DERIVE))
            return CKR_KEY_FUNCTION_NOT_PERMITTED;
        if (params.kdf != CKD_KDF_GOSTR3411_2012_256 || !params.pPublicData || !params.pUKM ||
            params.ulPublicDataLen != 2 * CoordinateSize(curve->kind) || params.ulUKMLen < 8 ||
            params.ulUKMLen > 16)
            return CKR_MECHANISM_PARAM_INVALID;
        Attributes a;
        if (CK_RV rv = ReadTemplate(attributes, count, a); rv != CKR_OK)
            return rv;
        Bytes peer(params.pPublicData, params.pPublicData + params.ulPublicDataLen);
        Bytes ukm(params.pUKM, params.pUKM + params.ulUKMLen);
        auto value = DeriveVko256(*curve, base->attributes.at(CKA_VALUE), peer, ukm);
        if (!value)
            return CKR_MECHANISM_PARAM_INVALID;
        if (CK_RV rv = CompleteDerivedKey(a, *value); rv != CKR_OK)
            return rv;
        if (CK_RV rv = MayWrite(lib, session, a); rv != CKR_OK)
            return rv;
        std::vector<CK_OBJECT_HANDLE> handles;
        std::vector<Attributes> objects;
        objects.push_back(std::move(a));
        if (CK_RV rv = StoreObjects(lib, handle, session, std::move(objects), handles); rv != CKR_OK)
            return rv;
        *key = handles[0];
        return CKR_OK;
    });
}

TOKEN_EXPORT CK_RV C_SeedRandom(CK_SESSION_HANDLE handle, CK_BYTE_PTR, CK_ULONG)
{
    return InSession(handle, [&](Library&, Session&) { return CKR_RANDOM_SEED_NOT_SUPPORTED; });
}

TOKEN_EXPORT CK_RV C_GenerateRandom(CK_SESSION_HANDLE handle, CK_BYTE_PTR out, CK_ULONG len)
{
    return InSession(handle, [&](Library&, Session&) {
        if (!out && len > 0)
            return CKR_ARGUMENTS_BAD;
        return len == 0 || RandomBytes(out, len) ? CKR_OK : CKR_DEVICE_ERROR;
    });
}

TOKEN_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list);

namespace {

CK_FUNCTION_LIST MakeFunctionList()
{
    CK_FUNCTION_LIST f{};
    f.version = {CRYPTOKI_VERSION_MAJOR, CRYPTOKI_VERSION_MINOR};
    f.C_Initialize = C_Initialize;
    f.C_Finalize = C_Finalize;
    f.C_GetInfo = C_GetInfo;
    f.C_GetFunctionList = C_GetFunctionList;
    f.C_GetSlotList = C_GetSlotList;
    f.C_GetSlotInfo = C_GetSlotInfo;
    f.C_GetTokenInfo = C_GetTokenInfo;
    f.C_GetMechanismList = C_GetMechanismList;
    f.C_GetMechanismInfo = C_GetMechanismInfo;
    f.C_InitToken = C_InitToken;
    f.C_InitPIN = C_InitPIN;
    f.C_SetPIN = C_SetPIN;
    f.C_OpenSession = C_OpenSession;
    f.C_CloseSession = C_CloseSession;
    f.C_CloseAllSessions = C_CloseAllSessions;
    f.C_GetSessionInfo = C_GetSessionInfo;
    f.C_GetOperationState = NotSupported;
    f.C_SetOperationState = NotSupported;
    f.C_Login = C_Login;
    f.C_Logout = C_Logout;
    f.C_CreateObject = C_CreateObject;
    f.C_CopyObject = NotSupported;
    f.C_DestroyObject = C_DestroyObject;
    f.C_GetObjectSize = C_GetObjectSize;
    f.C_GetAttributeValue = C_GetAttributeValue;
    f.C_SetAttributeValue = C_SetAttributeValue;
    f.C_FindObjectsInit = C_FindObjectsInit;
    f.C_FindObjects = C_FindObjects;
    f.C_FindObjectsFinal = C_FindObjectsFinal;
    f.C_EncryptInit = NotSupported;
    f.C_Encrypt = NotSupported;
    f.C_EncryptUpdate = NotSupported;
    f.C_EncryptFinal = NotSupported;
    f.C_DecryptInit = NotSupported;
    f.C_Decrypt = NotSupported;
    f.C_DecryptUpdate = NotSupported;
    f.C_DecryptFinal = NotSupported;
    f.C_DigestInit = C_DigestInit;
    f.C_Digest = C_Digest;
    f.C_DigestUpdate = C_DigestUpdate;
    f.C_DigestKey = NotSupported;
    f.C_DigestFinal = C_DigestFinal;
    f.C_SignInit = C_SignInit;
    f.C_Sign = C_Sign;
    f.C_SignUpdate = C_SignUpdate;
    f.C_SignFinal = C_SignFinal;
    f.C_SignRecoverInit = NotSupported;
    f.C_SignRecover = NotSupported;
    f.C_VerifyInit = C_VerifyInit;
    f.C_Verify = C_Verify;
    f.C_VerifyUpdate = C_VerifyUpdate;
    f.C_VerifyFinal = C_VerifyFinal;
    f.C_VerifyRecoverInit = NotSupported;
    f.C_VerifyRecover = NotSupported;
    f.C_DigestEncryptUpdate = NotSupported;
    f.C_DecryptDigestUpdate = NotSupported;
    f.C_SignEncryptUpdate = NotSupported;
    f.C_DecryptVerifyUpdate = NotSupported;
    f.C_GenerateKey = NotSupported;
    f.C_GenerateKeyPair = C_GenerateKeyPair;
    f.C_WrapKey = NotSupported;
    f.C_UnwrapKey = NotSupported;
    f.C_DeriveKey = C_DeriveKey;
    f.C_SeedRandom = C_SeedRandom;
    f.C_GenerateRandom = C_GenerateRandom;
    f.C_GetFunctionStatus = NotSupported;
    f.C_CancelFunction = NotSupported;
    f.C_WaitForSlotEvent = NotSupported;
    return f;
}

} // namespace

TOKEN_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list)
{
    static CK_FUNCTION_LIST functions = MakeFunctionList();
    if (!list)
        return CKR_ARGUMENTS_BAD;
    *list = &functions;
    return CKR_OK;
}
