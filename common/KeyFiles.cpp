#include "KeyFiles.h"

#include <xmlsec/keys.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>

namespace trumik::common {

namespace {

constexpr size_t kMaxKeyFile = 1024 * 1024;
// Files of keys in use at once are few; past this many the cache starts again.
constexpr size_t kMaxKeptKeys = 16;

struct Kept {
    std::string text;
    UniqueSecKey key;
};

class KeyCache {
  public:
    ~KeyCache()
    {
        // At process exit the crypto library may have been cleaned up before
        // this: the keys are let go, not destroyed. The libraries' shut-down
        // destroys them while it still can.
        for (auto& [path, kept] : keys_)
            static_cast<void>(kept.key.release());
    }

    UniqueSecKey Find(const std::string& path, const std::string& text)
    {
        std::lock_guard guard(mutex_);
        auto found = keys_.find(path);
        if (found == keys_.end() || found->second.text != text)
            return nullptr;
        return UniqueSecKey(xmlSecKeyDuplicate(found->second.key.get()));
    }

    void Keep(const std::string& path, const std::string& text, xmlSecKeyPtr key)
    {
        UniqueSecKey copy(xmlSecKeyDuplicate(key));
        if (!copy)
            return;
        std::lock_guard guard(mutex_);
        if (keys_.size() >= kMaxKeptKeys && !keys_.count(path))
            keys_.clear();
        keys_[path] = Kept{text, std::move(copy)};
    }

    size_t Count()
    {
        std::lock_guard guard(mutex_);
        return keys_.size();
    }

    void Clear()
    {
        std::lock_guard guard(mutex_);
        keys_.clear();
    }

  private:
    std::mutex mutex_;
    std::map<std::string, Kept> keys_;
};

KeyCache& Cache()
{
    static KeyCache cache;
    return cache;
}

struct Fd {
    int fd;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

std::optional<std::string> ReadKeyFile(const std::string& path)
{
    Fd file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0)
        return std::nullopt;
    std::string text;
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(file.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            return text;
        text.append(buffer, static_cast<size_t>(n));
        if (text.size() > kMaxKeyFile)
            return std::nullopt;
    }
}

UniqueSecKey KeptKey(const std::string& path, const std::string& text)
{
    return Cache().Find(path, text);
}

void KeepKey(const std::string& path, const std::string& text, xmlSecKeyPtr key)
{
    Cache().Keep(path, text, key);
}

void ForgetKeptKeys()
{
    Cache().Clear();
}

size_t KeptKeyCount()
{
    return Cache().Count();
}

} // namespace trumik::common
