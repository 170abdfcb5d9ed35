// Key containers as files under the platform root:
//
//   <root>/keys/user/<name>.key      containers of the current user
//   <root>/keys/machine/<name>.key   containers of the machine
//   <root>/keys/<scope>/.lock        held (flock) by every writer of the folder
//
// <name> is the UTF-8 container name with every byte outside [A-Za-z0-9-_~ ]
// (and a '.' at the start) written as %XX. Files are 0600, written to a
// temporary file in the same folder, synced and renamed over the old one, so
// a reader sees the old or the new state and a crash leaves no half file.
// Temporary files left by a writer that died are removed by the next writer
// (it holds the lock, so no live writer owns them).
//
// File format (text, lines ending in LF):
//   TRUMIK-KEY-CONTAINER 1
//   protected 0|1                        private keys encrypted under the PIN
//   key exchange|signature exportable|nonexportable
//   public <base64 SubjectPublicKeyInfo DER>
//   private <base64 PKCS #8 DER, or encrypted PKCS #8 when protected>
//   (up to two key sections)
//   end
// A file without its "end" line, or with anything unexpected, is refused.
#include "csp/CspInternal.h"

#include "internal/Base64.h"
#include "internal/CrashPoint.h"
#include "internal/Home.h"

#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace trumik::csp {

namespace {

using trumik::platform::Base64Decode;
using trumik::platform::Base64Encode;

constexpr const char* kMagic = "TRUMIK-KEY-CONTAINER 1";
constexpr size_t kMaxFileSize = 1 << 20;

std::filesystem::path ScopeDir(Scope scope)
{
    std::filesystem::path dir =
        trumik::platform::HomeDir() / "keys" / (scope == Scope::Machine ? "machine" : "user");
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    ::chmod(dir.parent_path().c_str(), 0700);
    ::chmod(dir.c_str(), 0700);
    return dir;
}

bool SafeByte(unsigned char c, bool first)
{
    if (first && c == '.')
        return false;
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '~' || c == ' ' || c == '.';
}

std::string EncodeName(const std::string& name)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < name.size(); ++i) {
        auto c = static_cast<unsigned char>(name[i]);
        if (SafeByte(c, i == 0)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<std::string> DecodeName(const std::string& file)
{
    std::string out;
    for (size_t i = 0; i < file.size(); ++i) {
        if (file[i] != '%') {
            out += file[i];
            continue;
        }
        if (i + 2 >= file.size())
            return std::nullopt;
        int hi = HexValue(file[i + 1]), lo = HexValue(file[i + 2]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return out;
}

std::filesystem::path ContainerPath(Scope scope, const std::string& name)
{
    return ScopeDir(scope) / (EncodeName(name) + ".key");
}

struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// The writers' lock of one scope folder.
class ScopeLock {
  public:
    explicit ScopeLock(const std::filesystem::path& dir)
        : fd_(::open((dir / ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600))
    {
        if (fd_.fd >= 0)
            while (::flock(fd_.fd, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    bool Held() const { return fd_.fd >= 0; }

  private:
    Fd fd_;
};

void RemoveStaleTemporaries(const std::filesystem::path& dir)
{
    std::error_code ec;
    for (auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        std::string file = entry.path().filename().string();
        if (file.rfind(".tmp-", 0) == 0)
            std::filesystem::remove(entry.path(), ec);
    }
}

std::string Serialize(const ContainerData& data)
{
    std::string out = std::string(kMagic) + "\n";
    out += data.protectedByPin ? "protected 1\n" : "protected 0\n";
    for (DWORD spec : {DWORD(AT_KEYEXCHANGE), DWORD(AT_SIGNATURE)}) {
        const StoredKey& key = data.Slot(spec);
        if (!key.present)
            continue;
        out += std::string("key ") + (spec == AT_SIGNATURE ? "signature " : "exchange ") +
               (key.exportable ? "exportable\n" : "nonexportable\n");
        out += "public " + Base64Encode(key.publicKey) + "\n";
        out += "private " + Base64Encode(key.privateKey) + "\n";
    }
    out += "end\n";
    return out;
}

bool Parse(const std::string& text, ContainerData* data)
{
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != kMagic)
        return false;
    if (!std::getline(in, line) || (line != "protected 0" && line != "protected 1"))
        return false;
    ContainerData result;
    result.protectedByPin = line == "protected 1";
    for (;;) {
        if (!std::getline(in, line) || in.eof())
            return false; // every line, "end" included, ends in LF
        if (line == "end")
            break;
        StoredKey* slot;
        if (line == "key exchange exportable" || line == "key exchange nonexportable")
            slot = &result.exchange;
        else if (line == "key signature exportable" || line == "key signature nonexportable")
            slot = &result.signature;
        else
            return false;
        if (slot->present)
            return false;
        slot->present = true;
        slot->exportable = line.ends_with(" exportable");
        std::string pub, priv;
        if (!std::getline(in, pub) || in.eof() || !pub.starts_with("public ") || !std::getline(in, priv) ||
            in.eof() || !priv.starts_with("private "))
            return false;
        auto pubDer = Base64Decode(pub.substr(7));
        auto privDer = Base64Decode(priv.substr(8));
        if (!pubDer || !privDer || !PublicKeyFromSpki(*pubDer))
            return false;
        slot->publicKey = std::move(*pubDer);
        slot->privateKey = std::move(*privDer);
    }
    if (in.peek() != std::char_traits<char>::eof())
        return false;
    *data = std::move(result);
    return true;
}

bool WriteAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Writes the file atomically; the caller holds the scope lock.
DWORD WriteFileAtomically(const std::filesystem::path& dir, const std::filesystem::path& target,
                          const std::string& text)
{
    static std::atomic<unsigned> counter{0};
    std::filesystem::path temp =
        dir / (".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1)));
    {
        Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (fd.fd < 0)
            return static_cast<DWORD>(NTE_FAIL);
        trumik::platform::CrashPoint();
        // Written in two halves, so that a writer dying in the middle of
        // the text is one of the steps the crash tests stop at.
        const size_t half = text.size() / 2;
        bool written = WriteAll(fd.fd, text.substr(0, half));
        trumik::platform::CrashPoint();
        written = written && WriteAll(fd.fd, text.substr(half));
        if (!written || ::fsync(fd.fd) != 0) {
            ::unlink(temp.c_str());
            return static_cast<DWORD>(NTE_FAIL);
        }
    }
    trumik::platform::CrashPoint();
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        ::unlink(temp.c_str());
        return static_cast<DWORD>(NTE_FAIL);
    }
    trumik::platform::CrashPoint();
    Fd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.fd >= 0)
        ::fsync(dirFd.fd);
    trumik::platform::CrashPoint();
    return 0;
}

// Every signature reads its container again, so that a key changed by another
// process is seen at once; the last few file texts stay parsed, and a text
// that differs by a byte is parsed anew.
class ParsedContainers {
  public:
    bool Find(const std::string& text, ContainerData* data)
    {
        std::lock_guard lock(mutex_);
        for (const auto& [known, parsed] : entries_) {
            if (known == text) {
                *data = parsed;
                return true;
            }
        }
        return false;
    }
    void Keep(const std::string& text, const ContainerData& data)
    {
        std::lock_guard lock(mutex_);
        entries_.emplace_front(text, data);
        if (entries_.size() > kMaxEntries)
            entries_.pop_back();
    }

  private:
    static constexpr size_t kMaxEntries = 8;
    std::mutex mutex_;
    std::deque<std::pair<std::string, ContainerData>> entries_;
};

ParsedContainers& ParsedTexts()
{
    static ParsedContainers containers;
    return containers;
}

DWORD ReadContainerFile(const std::filesystem::path& path, ContainerData* data)
{
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.fd < 0)
        return static_cast<DWORD>(errno == ENOENT ? NTE_BAD_KEYSET : NTE_KEYSET_ENTRY_BAD);
    std::string text;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return static_cast<DWORD>(NTE_KEYSET_ENTRY_BAD);
        if (n == 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
        if (text.size() > kMaxFileSize)
            return static_cast<DWORD>(NTE_KEYSET_ENTRY_BAD);
    }
    ContainerData parsed;
    if (!ParsedTexts().Find(text, &parsed)) {
        if (!Parse(text, &parsed))
            return static_cast<DWORD>(NTE_KEYSET_ENTRY_BAD);
        ParsedTexts().Keep(text, parsed);
    }
    if (data)
        *data = std::move(parsed);
    return 0;
}

} // namespace

bool IsValidContainerName(const std::string& name)
{
    if (name.empty() || name.find('\\') != std::string::npos || name.find('\0') != std::string::npos)
        return false;
    return EncodeName(name).size() <= 240;
}

DWORD ReadContainer(Scope scope, const std::string& name, ContainerData* data)
{
    if (!IsValidContainerName(name))
        return static_cast<DWORD>(NTE_BAD_KEYSET);
    // A read makes no folders: a container that is not there is NTE_BAD_KEYSET all the same.
    std::filesystem::path path = trumik::platform::HomeDir() / "keys" /
                                 (scope == Scope::Machine ? "machine" : "user") / (EncodeName(name) + ".key");
    return ReadContainerFile(path, data);
}

DWORD WriteContainer(Scope scope, const std::string& name, const ContainerData& data, bool create)
{
    if (!IsValidContainerName(name))
        return static_cast<DWORD>(NTE_BAD_KEYSET);
    std::filesystem::path dir = ScopeDir(scope);
    ScopeLock lock(dir);
    if (!lock.Held())
        return static_cast<DWORD>(NTE_FAIL);
    RemoveStaleTemporaries(dir);
    std::filesystem::path path = ContainerPath(scope, name);
    bool exists = ::access(path.c_str(), F_OK) == 0;
    if (create && exists)
        return static_cast<DWORD>(NTE_EXISTS);
    if (!create && !exists)
        return static_cast<DWORD>(NTE_BAD_KEYSET);
    return WriteFileAtomically(dir, path, Serialize(data));
}

DWORD UpdateContainer(Scope scope, const std::string& name, DWORD (*change)(ContainerData&, void*), void* arg)
{
    if (!IsValidContainerName(name))
        return static_cast<DWORD>(NTE_BAD_KEYSET);
    std::filesystem::path dir = ScopeDir(scope);
    ScopeLock lock(dir);
    if (!lock.Held())
        return static_cast<DWORD>(NTE_FAIL);
    RemoveStaleTemporaries(dir);
    std::filesystem::path path = ContainerPath(scope, name);
    ContainerData data;
    if (DWORD rc = ReadContainerFile(path, &data))
        return rc;
    if (DWORD rc = change(data, arg))
        return rc;
    return WriteFileAtomically(dir, path, Serialize(data));
}

DWORD DeleteContainerFile(Scope scope, const std::string& name)
{
    if (!IsValidContainerName(name))
        return static_cast<DWORD>(NTE_BAD_KEYSET);
    std::filesystem::path dir = ScopeDir(scope);
    ScopeLock lock(dir);
    if (!lock.Held())
        return static_cast<DWORD>(NTE_FAIL);
    trumik::platform::CrashPoint();
    if (::unlink(ContainerPath(scope, name).c_str()) != 0)
        return static_cast<DWORD>(errno == ENOENT ? NTE_BAD_KEYSET : NTE_FAIL);
    trumik::platform::CrashPoint();
    Fd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.fd >= 0)
        ::fsync(dirFd.fd);
    return 0;
}

std::vector<std::string> ListContainerNames(Scope scope)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (auto& entry : std::filesystem::directory_iterator(ScopeDir(scope), ec)) {
        std::string file = entry.path().filename().string();
        if (file.empty() || file[0] == '.' || !file.ends_with(".key"))
            continue;
        auto name = DecodeName(file.substr(0, file.size() - 4));
        if (name && IsValidContainerName(*name) && EncodeName(*name) == file.substr(0, file.size() - 4))
            names.push_back(std::move(*name));
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace trumik::csp
