// File stores: the certificates and CRLs of a file, read into a memory store
// when it is opened (a serialized store, PEM, or DER: a certificate, a
// PKCS #7 SignedData or a CRL); and files written whole for CertSaveStore.
#include "StoreInternal.h"
#include "internal/CrashPoint.h"
#include "internal/OpenSslHandles.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string_view>
#include <unistd.h>

namespace trumik::crypt {

namespace {

using trumik::platform::BioFree;

// Fills a store from the bytes of a file: serialized store, PEM, or DER
// (certificate, PKCS #7, CRL).
bool LoadContent(Store* s, const Bytes& bytes)
{
    if (bytes.empty())
        return true;
    const BYTE* data = bytes.data();
    size_t size = bytes.size();
    if (size >= 8 && GetDword(data) == 0 && GetDword(data + 4) == kFileMagic)
        return LoadSerialized(s, data, size);
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (text.find("-----BEGIN ") != std::string_view::npos) {
        std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(data, static_cast<int>(size)));
        size_t found = 0;
        for (;;) {
            char* name = nullptr;
            char* header = nullptr;
            unsigned char* der = nullptr;
            long len = 0;
            if (PEM_read_bio(bio.get(), &name, &header, &der, &len) != 1)
                break;
            std::string n = name ? name : "";
            if (n == "CERTIFICATE" || n == "X509 CERTIFICATE") {
                size_t had = s->certs.size();
                AddParsedCert(s, der, static_cast<size_t>(len));
                found += s->certs.size() - had;
            } else if (n == "X509 CRL") {
                size_t had = s->crls.size();
                AddParsedCrl(s, der, static_cast<size_t>(len));
                found += s->crls.size() - had;
            } else if (n == "PKCS7" || n == "CERTIFICATE CHAIN") {
                if (LoadPkcs7(s, der, static_cast<size_t>(len)))
                    ++found;
            }
            OPENSSL_free(name);
            OPENSSL_free(header);
            OPENSSL_free(der);
        }
        ERR_clear_error();
        if (!found) {
            Fail(CRYPT_E_FILE_ERROR);
            return false;
        }
        return true;
    }
    if (CertObject* c = ParseCertificate(data, size)) {
        AddCert(s, std::unique_ptr<CertObject>(c), CERT_STORE_ADD_ALWAYS, nullptr);
        return true;
    }
    DWORD certError = GetLastError();
    if (LoadPkcs7(s, data, size)) {
        ERR_clear_error();
        return true;
    }
    if (CrlObject* c = ParseCrl(data, size)) {
        AddCrl(s, std::unique_ptr<CrlObject>(c), CERT_STORE_ADD_ALWAYS, nullptr);
        return true;
    }
    ERR_clear_error();
    Fail(data[0] == 0x30 ? certError : static_cast<DWORD>(CRYPT_E_FILE_ERROR));
    return false;
}

bool WriteAllBytes(int fd, const BYTE* data, size_t size)
{
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

std::string PathFromPara(const void* pvPara, bool wide)
{
    if (wide)
        return Utf16ToUtf8(static_cast<const char16_t*>(pvPara));
    return Utf16ToUtf8(AnsiToUtf16(static_cast<const char*>(pvPara)));
}

// Writes the file through a synced temporary beside it and a rename, so
// that a reader, or a writer's crash, leaves the old file or the new one.
bool WriteFileAtomic(const std::string& path, const Bytes& data)
{
    std::string tmp = path + ".tmp" + std::to_string(getpid());
    {
        int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0)
            return false;
        const size_t half = data.size() / 2;
        bool written = WriteAllBytes(fd, data.data(), half);
        trumik::platform::CrashPoint();
        written = written && WriteAllBytes(fd, data.data() + half, data.size() - half) && ::fsync(fd) == 0;
        ::close(fd);
        if (!written) {
            ::unlink(tmp.c_str());
            return false;
        }
    }
    trumik::platform::CrashPoint();
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    trumik::platform::CrashPoint();
    return true;
}

HCERTSTORE OpenFileStore(LPCSTR provider, DWORD, const void* para)
{
    if (!para) {
        Fail(E_INVALIDARG);
        return nullptr;
    }
    const std::string path = PathFromPara(para, provider == CERT_STORE_PROV_FILENAME_W);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        Fail(static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        return nullptr;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        Fail(static_cast<DWORD>(ERROR_ACCESS_DENIED));
        return nullptr;
    }
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto s = std::make_unique<Store>();
    if (!LoadContent(s.get(), bytes)) {
        DWORD err = GetLastError();
        DestroyStore(s.release());
        SetLastError(err);
        return nullptr;
    }
    return s.release();
}

} // namespace trumik::crypt
