// The state file of a slot: a line format a person can read with a pager.
//   trumik-testtoken 1
//   initialized 1
//   label <hex>         salt <hex>        so-pin <hex>     user-pin <hex>
//   so-failures N       user-failures N   next-id N
//   object <handle>     then one "attribute <type hex> <value hex>" a line
// Unknown lines are an error: the file is ours alone.
#include "State.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace trumik::testtoken {

namespace {

constexpr const char* kMagic = "trumik-testtoken 1";

std::string Hex(const Bytes& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::optional<Bytes> Unhex(const std::string& text)
{
    if (text == "-")
        return Bytes{};
    if (text.size() % 2)
        return std::nullopt;
    Bytes out;
    out.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        char* end = nullptr;
        std::string pair = text.substr(i, 2);
        unsigned long v = std::strtoul(pair.c_str(), &end, 16);
        if (end != pair.c_str() + 2)
            return std::nullopt;
        out.push_back(static_cast<unsigned char>(v));
    }
    return out;
}

std::string HexOrDash(const Bytes& bytes)
{
    return bytes.empty() ? "-" : Hex(bytes);
}

std::filesystem::path StateFile(unsigned long slot)
{
    return StateDir() / ("slot" + std::to_string(slot) + ".state");
}

// An open descriptor, closed on every path.
class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

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

// Temp file beside the target (0600), fsync, rename over it, fsync the folder.
bool WriteAtomically(const std::filesystem::path& path, const std::string& text)
{
    std::filesystem::path temp = path;
    temp += ".tmp" + std::to_string(::getpid());
    {
        Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (fd.get() < 0)
            return false;
        if (!WriteAll(fd.get(), text) || ::fsync(fd.get()) != 0) {
            ::unlink(temp.c_str());
            return false;
        }
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    Fd dir(::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0)
        ::fsync(dir.get());
    return true;
}

std::optional<TokenState> ReadStateFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::error_code ec;
        if (!std::filesystem::exists(path, ec))
            return TokenState{};
        return std::nullopt;
    }
    std::stringstream text;
    text << in.rdbuf();
    return DecodeState(text.str());
}

} // namespace

std::filesystem::path StateDir()
{
    std::filesystem::path dir;
    if (const char* env = std::getenv("TRUMIK_TESTTOKEN_DIR"); env && *env) {
        dir = env;
    } else {
        std::filesystem::path root;
        if (const char* home = std::getenv("TRUMIK_HOME"); home && *home) {
            root = home;
        } else {
            const char* user = std::getenv("HOME");
            if (!user || !*user) {
                const passwd* pw = getpwuid(getuid());
                user = pw ? pw->pw_dir : "/tmp";
            }
            root = std::filesystem::path(user) / ".trumik";
        }
        dir = root / "testtoken";
    }
    std::error_code ec;
    if (!std::filesystem::exists(dir, ec)) {
        std::filesystem::create_directories(dir, ec);
        ::chmod(dir.c_str(), 0700);
    }
    return dir;
}

bool SlotRemoved(unsigned long slot)
{
    std::error_code ec;
    return std::filesystem::exists(StateDir() / ("slot" + std::to_string(slot) + ".removed"), ec);
}

std::optional<TokenState> LoadState(unsigned long slot)
{
    return ReadStateFile(StateFile(slot));
}

bool UpdateState(unsigned long slot, const std::function<bool(TokenState&)>& change, TokenState& out)
{
    std::filesystem::path path = StateFile(slot);
    std::filesystem::path lockPath = path;
    lockPath.replace_extension(".lock");
    Fd lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (lock.get() < 0)
        return false;
    while (::flock(lock.get(), LOCK_EX) != 0) {
        if (errno != EINTR)
            return false;
    }
    // The lock goes with the descriptor.
    std::optional<TokenState> state = ReadStateFile(path);
    if (!state)
        return false;
    if (change(*state) && !WriteAtomically(path, EncodeState(*state)))
        return false;
    out = std::move(*state);
    return true;
}

std::string EncodeState(const TokenState& state)
{
    std::ostringstream out;
    out << kMagic << '\n'
        << "initialized " << (state.initialized ? 1 : 0) << '\n'
        << "label " << HexOrDash(Bytes(state.label.begin(), state.label.end())) << '\n'
        << "salt " << HexOrDash(state.salt) << '\n'
        << "so-pin " << HexOrDash(state.soPin) << '\n'
        << "user-pin " << HexOrDash(state.userPin) << '\n'
        << "so-failures " << state.soFailures << '\n'
        << "user-failures " << state.userFailures << '\n'
        << "next-id " << state.nextId << '\n';
    for (const Object& object : state.objects) {
        out << "object " << object.handle << '\n';
        for (const auto& [type, value] : object.attributes)
            out << "attribute " << std::hex << type << std::dec << ' ' << HexOrDash(value) << '\n';
    }
    return out.str();
}

std::optional<TokenState> DecodeState(const std::string& text)
{
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != kMagic)
        return std::nullopt;
    TokenState state;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string key, a, b, extra;
        fields >> key >> a >> b >> extra;
        if (key.empty())
            continue;
        if (a.empty() || !extra.empty() || (key == "attribute") == b.empty())
            return std::nullopt;
        char* end = nullptr;
        unsigned long number = std::strtoul(a.c_str(), &end, key == "attribute" ? 16 : 10);
        bool isNumber = !a.empty() && *end == '\0';
        std::optional<Bytes> bytes = key == "attribute" ? Unhex(b) : Unhex(a);
        if (key == "initialized" && isNumber) {
            state.initialized = number != 0;
        } else if (key == "label" && bytes) {
            state.label.assign(bytes->begin(), bytes->end());
        } else if (key == "salt" && bytes) {
            state.salt = *bytes;
        } else if (key == "so-pin" && bytes) {
            state.soPin = *bytes;
        } else if (key == "user-pin" && bytes) {
            state.userPin = *bytes;
        } else if (key == "so-failures" && isNumber) {
            state.soFailures = static_cast<unsigned>(number);
        } else if (key == "user-failures" && isNumber) {
            state.userFailures = static_cast<unsigned>(number);
        } else if (key == "next-id" && isNumber) {
            state.nextId = number;
        } else if (key == "object" && isNumber) {
            state.objects.push_back(Object{number, {}});
        } else if (key == "attribute" && isNumber && bytes && !state.objects.empty()) {
            state.objects.back().attributes[number] = *bytes;
        } else {
            return std::nullopt;
        }
    }
    return state;
}

} // namespace trumik::testtoken
