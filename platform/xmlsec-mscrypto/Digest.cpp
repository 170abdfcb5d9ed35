// GOST digest transforms over CryptCreateHash in a verify context of the GOST
// provider type that has the hash: GOST R 34.11-94 (CALG_GR3411, type 75),
// under its XML-DSig name and, for verification, under its newer name; GOST
// R 34.11-2012 256-bit (CALG_GR3411_2012_256, type 80) and 512-bit
// (CALG_GR3411_2012_512, type 81). Digest values are used as the hash gives
// them (HP_HASHVAL), never reversed.
#include "MSCryptoInternal.h"

#include <xmlsec/strings.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace trumik::mscrypto {

// Feeds a buffer of any size to a hash; false after a report.
bool HashBuffer(HCRYPTHASH hash, const xmlSecByte* data, xmlSecSize size, const char* name)
{
    while (size > 0) {
        DWORD chunk = static_cast<DWORD>(std::min<xmlSecSize>(size, 0x40000000u));
        if (!CryptHashData(hash, data, chunk, 0)) {
            TRUMIK_MSCRYPTO_ERROR(name, "CryptHashData");
            return false;
        }
        data += chunk;
        size -= chunk;
    }
    return true;
}

namespace {

struct DigestAlgorithm {
    DWORD provType;
    ALG_ID hashAlg;
    DWORD size; // bytes
    bool verifyOnly;
};

constexpr DigestAlgorithm kGostR3411_94{PROV_GOST_2001_DH, CALG_GR3411, 32, false};
constexpr DigestAlgorithm kGostR3411_94Urn{PROV_GOST_2001_DH, CALG_GR3411, 32, true};
constexpr DigestAlgorithm kGostR3411_2012_256{PROV_GOST_2012_256, CALG_GR3411_2012_256, 32, false};
constexpr DigestAlgorithm kGostR3411_2012_512{PROV_GOST_2012_512, CALG_GR3411_2012_512, 64, false};

// The newer name of GOST R 34.11-94.
constexpr xmlChar kNameGostR3411_94Urn[] = "cpxmlsec-gostr3411";
constexpr xmlChar kHrefGostR3411_94Urn[] = "urn:ietf:params:xml:ns:cpxmlsec:algorithms:gostr3411";

// Past this much input a digest hashes on a thread of its own, so that the
// canonical form of a large document is written while what came before is
// hashed, as two programs joined by a pipe would do it; less is hashed in place.
constexpr size_t kHashAsideFrom = 1 << 20;

// Hashes the chunks it is given, in order, on its own thread. The hash is
// used by that thread alone until Finish returns.
class HashAside {
  public:
    explicit HashAside(HCRYPTHASH hash) : hash_(hash), thread_([this] { Run(); }) {}
    ~HashAside() { Finish(); }
    HashAside(const HashAside&) = delete;
    HashAside& operator=(const HashAside&) = delete;

    // Throws std::bad_alloc when the copy cannot be made.
    void Add(const xmlSecByte* data, size_t size)
    {
        std::vector<xmlSecByte> chunk(data, data + size);
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(chunk));
        }
        ready_.notify_one();
    }

    // Waits until every chunk is hashed; the last error of the first
    // CryptHashData that failed, 0 when none did.
    DWORD Finish()
    {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        ready_.notify_one();
        if (thread_.joinable())
            thread_.join();
        return error_;
    }

  private:
    void Run()
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            ready_.wait(lock, [this] { return done_ || !queue_.empty(); });
            if (queue_.empty())
                return; // done, and nothing left
            std::vector<xmlSecByte> chunk = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            const xmlSecByte* data = chunk.data();
            for (size_t left = chunk.size(); left > 0 && error_ == 0;) {
                const DWORD part = static_cast<DWORD>(std::min<size_t>(left, 0x40000000u));
                if (!CryptHashData(hash_, data, part, 0))
                    error_ = GetLastError() ? GetLastError() : static_cast<DWORD>(NTE_FAIL);
                data += part;
                left -= part;
            }
            lock.lock();
        }
    }

    HCRYPTHASH hash_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::vector<xmlSecByte>> queue_;
    bool done_ = false;
    DWORD error_ = 0;    // written by the thread alone, read after the join
    std::thread thread_; // last: it starts once the members above are made
};

struct DigestCtx {
    const DigestAlgorithm* algorithm = nullptr;
    UniqueProv prov;
    UniqueHash hash;
    xmlSecByte digest[kMaxGostDigestSize] = {};
    size_t taken = 0;                 // bytes of input so far
    std::unique_ptr<HashAside> aside; // destroyed (its thread joined) before the hash
};

// Hashes a chunk of input, aside once the input has grown large; false after a report.
bool Take(DigestCtx* ctx, const xmlSecByte* data, xmlSecSize size, const char* name)
{
    ctx->taken += size;
    if (!ctx->aside && ctx->taken > kHashAsideFrom) {
        try {
            ctx->aside = std::make_unique<HashAside>(ctx->hash.get());
        } catch (const std::exception&) {
            // No thread to be had: the hash is fed in place.
        }
    }
    if (!ctx->aside)
        return HashBuffer(ctx->hash.get(), data, size, name);
    try {
        ctx->aside->Add(data, size);
    } catch (const std::bad_alloc&) {
        xmlSecError(XMLSEC_ERRORS_HERE, name, nullptr, XMLSEC_ERRORS_R_MALLOC_FAILED, "%u bytes",
                    static_cast<unsigned>(size));
        return false;
    }
    return true;
}

// Waits for the hashing aside, if any; false after a report.
bool TakeAll(DigestCtx* ctx, const char* name)
{
    if (!ctx->aside)
        return true;
    const DWORD error = ctx->aside->Finish();
    ctx->aside.reset();
    if (error == 0)
        return true;
    SetLastError(error);
    TRUMIK_MSCRYPTO_ERROR(name, "CryptHashData");
    return false;
}

DigestCtx* Ctx(xmlSecTransformPtr transform)
{
    return CtxOf<DigestCtx>(transform);
}

const DigestAlgorithm* AlgorithmOf(xmlSecTransformPtr transform)
{
    if (transform == nullptr)
        return nullptr;
    if (transform->id == xmlSecMSCryptoTransformGostR3411_94GetKlass())
        return &kGostR3411_94;
    if (transform->id == GostR3411_94UrnGetKlass())
        return &kGostR3411_94Urn;
    if (transform->id == xmlSecMSCryptoTransformGostR3411_2012_256GetKlass())
        return &kGostR3411_2012_256;
    if (transform->id == xmlSecMSCryptoTransformGostR3411_2012_512GetKlass())
        return &kGostR3411_2012_512;
    return nullptr;
}

bool IsDigest(xmlSecTransformPtr transform)
{
    return AlgorithmOf(transform) != nullptr;
}

const char* NameOf(xmlSecTransformPtr transform)
{
    return reinterpret_cast<const char*>(xmlSecTransformGetName(transform));
}

int Initialize(xmlSecTransformPtr transform)
{
    xmlSecAssert2(IsDigest(transform), -1);
    ConstructCtx<DigestCtx>(transform);
    DigestCtx* ctx = Ctx(transform);
    ctx->algorithm = AlgorithmOf(transform);
    if (!CryptAcquireContextW(ctx->prov.put(), nullptr, nullptr, ctx->algorithm->provType,
                              CRYPT_VERIFYCONTEXT)) {
        TRUMIK_MSCRYPTO_ERROR(NameOf(transform), "CryptAcquireContextW");
        return -1;
    }
    if (!CryptCreateHash(ctx->prov.get(), ctx->algorithm->hashAlg, 0, 0, ctx->hash.put())) {
        TRUMIK_MSCRYPTO_ERROR(NameOf(transform), "CryptCreateHash");
        return -1;
    }
    return 0;
}

void Finalize(xmlSecTransformPtr transform)
{
    if (!IsDigest(transform))
        return;
    DigestCtx* ctx = Ctx(transform);
    ctx->aside.reset(); // its thread uses the hash
    ctx->hash.reset();  // before its provider context
    ctx->prov.reset();
    DestroyCtx<DigestCtx>(transform);
}

int Verify(xmlSecTransformPtr transform, const xmlSecByte* data, xmlSecSize dataSize, xmlSecTransformCtxPtr)
{
    xmlSecAssert2(IsDigest(transform), -1);
    xmlSecAssert2(data != nullptr || dataSize == 0, -1);
    xmlSecAssert2(transform->operation == xmlSecTransformOperationVerify, -1);
    xmlSecAssert2(transform->status == xmlSecTransformStatusFinished, -1);
    const DWORD expected = Ctx(transform)->algorithm->size;
    if (dataSize != expected) {
        xmlSecError(XMLSEC_ERRORS_HERE, NameOf(transform), nullptr, XMLSEC_ERRORS_R_INVALID_SIZE,
                    "digest value of %u bytes; %u expected", static_cast<unsigned>(dataSize),
                    static_cast<unsigned>(expected));
        transform->status = xmlSecTransformStatusFail;
        return 0;
    }
    if (std::memcmp(Ctx(transform)->digest, data, expected) != 0) {
        xmlSecError(XMLSEC_ERRORS_HERE, NameOf(transform), nullptr, XMLSEC_ERRORS_R_DATA_NOT_MATCH,
                    "data and digest do not match");
        transform->status = xmlSecTransformStatusFail;
        return 0;
    }
    transform->status = xmlSecTransformStatusOk;
    return 0;
}

int Execute(xmlSecTransformPtr transform, int last, xmlSecTransformCtxPtr)
{
    xmlSecAssert2(IsDigest(transform), -1);
    xmlSecAssert2(transform->operation == xmlSecTransformOperationSign ||
                      transform->operation == xmlSecTransformOperationVerify,
                  -1);
    DigestCtx* ctx = Ctx(transform);
    xmlSecBufferPtr in = &transform->inBuf;
    xmlSecBufferPtr out = &transform->outBuf;
    const DWORD expected = ctx->algorithm->size;

    if (transform->status == xmlSecTransformStatusNone) {
        if (ctx->algorithm->verifyOnly && transform->operation != xmlSecTransformOperationVerify) {
            xmlSecError(XMLSEC_ERRORS_HERE, NameOf(transform), nullptr, XMLSEC_ERRORS_R_INVALID_OPERATION,
                        "this name of the digest is accepted for verification only");
            return -1;
        }
        transform->status = xmlSecTransformStatusWorking;
    }
    if (transform->status == xmlSecTransformStatusWorking) {
        xmlSecSize inSize = xmlSecBufferGetSize(in);
        if (inSize > 0) {
            if (!Take(ctx, xmlSecBufferGetData(in), inSize, NameOf(transform)))
                return -1;
            if (xmlSecBufferRemoveHead(in, inSize) < 0) {
                xmlSecError(XMLSEC_ERRORS_HERE, NameOf(transform), "xmlSecBufferRemoveHead",
                            XMLSEC_ERRORS_R_XMLSEC_FAILED, XMLSEC_ERRORS_NO_MESSAGE);
                return -1;
            }
        }
        if (last != 0) {
            if (!TakeAll(ctx, NameOf(transform)))
                return -1;
            DWORD size = sizeof ctx->digest;
            if (!CryptGetHashParam(ctx->hash.get(), HP_HASHVAL, ctx->digest, &size, 0)) {
                TRUMIK_MSCRYPTO_ERROR(NameOf(transform), "CryptGetHashParam");
                return -1;
            }
            if (size != expected) {
                xmlSecError(XMLSEC_ERRORS_HERE, NameOf(transform), "CryptGetHashParam",
                            XMLSEC_ERRORS_R_INVALID_SIZE, "digest of %u bytes", static_cast<unsigned>(size));
                return -1;
            }
            if (transform->operation == xmlSecTransformOperationSign &&
                xmlSecBufferAppend(out, ctx->digest, expected) < 0) {
                xmlSecError(XMLSEC_ERRORS_HERE, NameOf(transform), "xmlSecBufferAppend",
                            XMLSEC_ERRORS_R_XMLSEC_FAILED, XMLSEC_ERRORS_NO_MESSAGE);
                return -1;
            }
            transform->status = xmlSecTransformStatusFinished;
        }
    } else if (transform->status == xmlSecTransformStatusFinished) {
        xmlSecAssert2(xmlSecBufferGetSize(in) == 0, -1);
    } else {
        xmlSecError(XMLSEC_ERRORS_HERE, NameOf(transform), nullptr, XMLSEC_ERRORS_R_INVALID_STATUS,
                    "status=%d", static_cast<int>(transform->status));
        return -1;
    }
    return 0;
}

struct _xmlSecTransformKlass MakeDigestKlass(const xmlChar* name, const xmlChar* href)
{
    struct _xmlSecTransformKlass klass {};
    klass.klassSize = sizeof(xmlSecTransformKlass);
    klass.objSize = ObjectSize<xmlSecTransform, DigestCtx>();
    klass.name = name;
    klass.href = href;
    klass.usage = xmlSecTransformUsageDigestMethod;
    klass.initialize = Initialize;
    klass.finalize = Finalize;
    klass.verify = Verify;
    klass.getDataType = xmlSecTransformDefaultGetDataType;
    klass.pushBin = xmlSecTransformDefaultPushBin;
    klass.popBin = xmlSecTransformDefaultPopBin;
    klass.execute = Execute;
    return klass;
}

} // namespace

xmlSecTransformId GostR3411_94UrnGetKlass()
{
    static struct _xmlSecTransformKlass klass = MakeDigestKlass(kNameGostR3411_94Urn, kHrefGostR3411_94Urn);
    return &klass;
}

} // namespace trumik::mscrypto

using trumik::mscrypto::MakeDigestKlass;

#pragma GCC visibility push(default)

xmlSecTransformId xmlSecMSCryptoTransformGostR3411_94GetKlass(void)
{
    static struct _xmlSecTransformKlass klass =
        MakeDigestKlass(xmlSecNameGostR3411_94, xmlSecHrefGostR3411_94);
    return &klass;
}

xmlSecTransformId xmlSecMSCryptoTransformGostR3411_2012_256GetKlass(void)
{
    static struct _xmlSecTransformKlass klass =
        MakeDigestKlass(xmlSecNameGostR3411_2012_256, xmlSecHrefGostR3411_2012_256);
    return &klass;
}

xmlSecTransformId xmlSecMSCryptoTransformGostR3411_2012_512GetKlass(void)
{
    static struct _xmlSecTransformKlass klass =
        MakeDigestKlass(xmlSecNameGostR3411_2012_512, xmlSecHrefGostR3411_2012_512);
    return &klass;
}

#pragma GCC visibility pop
