// trumik cms sign|cosign|verify|content: CMS SignedData (CAdES-BES) with a
// store certificate's GOST key, through the operations the second module's
// CCmsSigner is built on. They run in this process, not through COM, so that
// the content of a detached signature streams from its file: a file of any
// size is signed and verified a piece at a time. Input is DER or PEM, told
// apart by its bytes.
#include "CmsCommands.h"

#include "AdminSupport.h"
#include "Automation.h"

#include "common/Bstr.h"
#include "exchange/cms/CmsOperations.h"

#include <winbase.h>

#include <chrono>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace trumik::host {

namespace {

namespace cms = trumik::exchange::cms;

// Work over this many bytes shows a progress line, on a terminal only.
constexpr uint64_t kProgressThreshold = 64ull << 20;

const char kUsage[] = "cms";

// A file read a piece at a time.
class FileSource {
  public:
    explicit FileSource(const std::string& path) : file_(std::fopen(path.c_str(), "rb")) {}
    ~FileSource()
    {
        if (file_)
            std::fclose(file_);
    }
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;
    bool Opened() const { return file_ != nullptr; }
    uint64_t Size() const
    {
        struct stat st {};
        return file_ && fstat(fileno(file_), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    }
    cms::ContentSource Source()
    {
        return [this](BYTE* buffer, size_t capacity, size_t* got) {
            *got = std::fread(buffer, 1, capacity, file_);
            return !std::ferror(file_);
        };
    }

  private:
    std::FILE* file_;
};

// "12.0 of 1024.0 MiB, 310.2 MiB/s, 3 s left" on one line of standard
// error, rewritten in place; only on a terminal and for large inputs.
class ProgressLine {
  public:
    explicit ProgressLine(uint64_t total)
        : total_(total), shown_(total > kProgressThreshold && isatty(STDERR_FILENO)),
          start_(std::chrono::steady_clock::now())
    {
    }
    ~ProgressLine()
    {
        if (shown_ && drawn_)
            std::fputc('\n', stderr);
    }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;
    cms::Progress Callback()
    {
        if (!shown_)
            return {};
        return [this](uint64_t done) { Draw(done); };
    }

  private:
    void Draw(uint64_t done)
    {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        const double mib = 1024.0 * 1024.0;
        const double rate = seconds > 0 ? done / mib / seconds : 0;
        const double left = rate > 0 && total_ > done ? (total_ - done) / mib / rate : 0;
        std::fprintf(stderr, "\r%.1f of %.1f MiB, %.1f MiB/s, %.0f s left   ", done / mib, total_ / mib, rate,
                     left);
        std::fflush(stderr);
        drawn_ = true;
    }
    uint64_t total_;
    bool shown_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_;
};

int ReportOutcome(const cms::Outcome& outcome)
{
    const std::u16string text = common::MessageText(*outcome.failure);
    std::string line = "trumik: " + ToUtf8(text.data(), text.size());
    const DWORD error = GetLastError();
    if (outcome.systemText && error)
        line += "\ntrumik: " + CodeText(error);
    std::fprintf(stderr, "%s\n", line.c_str());
    return kExitFailed;
}

// "-o FILE" is "--out FILE".
std::vector<std::string> LongOut(std::vector<std::string> args)
{
    for (std::string& a : args)
        if (a == "-o")
            a = "--out";
    return args;
}

// The options every command has: one input file, and --out where it writes.
std::optional<Options> ParseCms(const std::vector<std::string>& args, const std::set<std::string>& valued,
                                const std::set<std::string>& flags, bool needsOut, int* status)
{
    std::string error;
    auto options = ParseOptions(LongOut(args), valued, flags, &error);
    if (options && options->positional.size() != 1)
        error = options->positional.empty() ? "an input file is needed"
                                            : "unexpected argument " + options->positional[1];
    else if (options && needsOut && !options->Get("out"))
        error = "-o OUT is needed";
    if (!error.empty()) {
        *status = UsageError(error, kUsage);
        return std::nullopt;
    }
    return options;
}

std::optional<Bytes> ReadInput(const std::string& path)
{
    auto bytes = ReadWholeFile(path);
    if (!bytes)
        std::fprintf(stderr, "trumik: cannot read %s\n", path.c_str());
    return bytes;
}

int WriteOutput(const std::string& path, const cms::Bytes& der, bool pem)
{
    const std::string content = pem ? cms::ToPem(der) : std::string(der.begin(), der.end());
    if (!WriteWholeFile(path, content)) {
        std::fprintf(stderr, "trumik: cannot write %s\n", path.c_str());
        return kExitFailed;
    }
    return kExitOk;
}

// A SignedData file and, with --content, its detached content read in pieces.
struct SignedInput {
    cms::Bytes message;
    std::optional<FileSource> file;
    cms::ContentSource source;

    bool Load(const Options& options)
    {
        auto bytes = ReadInput(options.positional[0]);
        if (!bytes)
            return false;
        message = std::move(*bytes);
        if (auto path = options.Get("content")) {
            file.emplace(*path);
            if (!file->Opened()) {
                std::fprintf(stderr, "trumik: cannot read %s\n", path->c_str());
                return false;
            }
            source = file->Source();
        }
        return true;
    }
    const cms::ContentSource* Content() const { return file ? &source : nullptr; }
    uint64_t ContentSize() const { return file ? file->Size() : 0; }
};

// Opens the store key named by --store, --thumbprint and --pin; the exit
// status when that fails (2 for missing options), nothing when it is open.
std::optional<int> OpenKey(const Options& options, cms::SigningKey* key)
{
    auto store = options.Get("store");
    auto thumbprint = options.Get("thumbprint");
    if (!store || !thumbprint)
        return UsageError("--store and --thumbprint are needed", kUsage);
    common::UniqueBstr storeName = common::MakeBstr(FromUtf8(*store));
    common::UniqueBstr hash = common::MakeBstr(FromUtf8(*thumbprint));
    common::UniqueBstr pin;
    if (auto text = options.Get("pin"))
        pin = common::MakeBstr(FromUtf8(*text));
    if (auto opened = key->Open(storeName.get(), hash.get(), pin.get()); !opened)
        return ReportOutcome(opened);
    return std::nullopt;
}

int Sign(const std::vector<std::string>& args)
{
    int status = kExitUsage;
    auto options = ParseCms(args, {"store", "thumbprint", "pin", "out"}, {"detached", "pem"}, true, &status);
    if (!options)
        return status;
    cms::SigningKey key;
    if (auto failed = OpenKey(*options, &key))
        return *failed;
    FileSource file(options->positional[0]);
    if (!file.Opened()) {
        std::fprintf(stderr, "trumik: cannot read %s\n", options->positional[0].c_str());
        return kExitFailed;
    }
    ProgressLine progress(file.Size());
    cms::Bytes signedData;
    if (auto signedOk =
            cms::Sign(key, file.Source(), options->Has("detached"), &signedData, progress.Callback());
        !signedOk)
        return ReportOutcome(signedOk);
    return WriteOutput(*options->Get("out"), signedData, options->Has("pem"));
}

int CoSign(const std::vector<std::string>& args)
{
    int status = kExitUsage;
    auto options = ParseCms(args, {"store", "thumbprint", "pin", "out", "content"}, {"pem"}, true, &status);
    if (!options)
        return status;
    cms::SigningKey key;
    if (auto failed = OpenKey(*options, &key))
        return *failed;
    SignedInput in;
    if (!in.Load(*options))
        return kExitFailed;
    ProgressLine progress(in.ContentSize());
    cms::Bytes result;
    if (auto done = cms::CoSign(in.message, in.Content(), key, &result, progress.Callback()); !done)
        return ReportOutcome(done);
    return WriteOutput(*options->Get("out"), result, options->Has("pem"));
}

int Verify(const std::vector<std::string>& args)
{
    int status = kExitUsage;
    auto options = ParseCms(args, {"content"}, {}, false, &status);
    if (!options)
        return status;
    SignedInput in;
    if (!in.Load(*options))
        return kExitFailed;
    ProgressLine progress(in.ContentSize());
    cms::Verification verification;
    if (auto done = cms::Verify(in.message, in.Content(), &verification, progress.Callback()); !done)
        return ReportOutcome(done);
    // index, verdict, subject, signing time: one line per signer, by tabs.
    for (size_t i = 0; i < verification.signers.size(); ++i) {
        const cms::SignerResult& s = verification.signers[i];
        std::string verdict = s.valid ? "valid" : "invalid";
        if (s.problem) {
            const std::u16string why = common::MessageText(*s.problem);
            verdict += " (" + ToUtf8(why.data(), why.size()) + ")";
        }
        std::printf("%zu\t%s\t%s\t%s\n", i, verdict.c_str(),
                    ToUtf8(s.subject.data(), s.subject.size()).c_str(),
                    s.hasSigningTime ? IsoTime(s.signingTime).c_str() : "-");
    }
    return verification.AllValid() ? kExitOk : kExitFailed;
}

int Content(const std::vector<std::string>& args)
{
    int status = kExitUsage;
    auto options = ParseCms(args, {"out"}, {}, true, &status);
    if (!options)
        return status;
    auto input = ReadInput(options->positional[0]);
    if (!input)
        return kExitFailed;
    cms::Bytes content;
    if (auto done = cms::Content(*input, &content); !done)
        return ReportOutcome(done);
    return WriteOutput(*options->Get("out"), content, false);
}

} // namespace

const char kCmsHelp[] =
    "usage: trumik cms sign [--detached] --store NAME --thumbprint HEX [--pin PIN] [--pem] IN -o OUT\n"
    "       trumik cms cosign --store NAME --thumbprint HEX [--pin PIN] [--content FILE] [--pem] IN -o OUT\n"
    "       trumik cms verify [--content FILE] IN\n"
    "       trumik cms content IN -o OUT\n"
    "  CMS SignedData with the CAdES-BES signed attributes, signed with the key of the certificate\n"
    "  with the SHA-1 thumbprint HEX in the current user's store NAME (digest by the key: GOST R\n"
    "  34.11-2012 256 or 512, R 34.11-94 for a 2001 key). IN is DER or PEM; --pem writes PEM.\n"
    "  sign: attached, or --detached (IN is read a piece at a time, any size).\n"
    "  cosign: adds a signer to the SignedData IN; --content FILE for a detached one.\n"
    "  verify: one line per signer: index, verdict, subject, signing time (tab-separated).\n"
    "  content: writes the attached content.\n"
    "  Over 64 MiB a progress line goes to standard error when it is a terminal.\n"
    "  Exit status 0 on success (verify: every signer holds), 1 on failure, 2 for usage errors.\n";

int CmsCommand(const std::vector<std::string>& args)
{
    const std::string sub = args.empty() ? std::string() : args[0];
    const std::vector<std::string> rest(args.begin() + (args.empty() ? 0 : 1), args.end());
    if (sub == "sign")
        return Sign(rest);
    if (sub == "cosign")
        return CoSign(rest);
    if (sub == "verify")
        return Verify(rest);
    if (sub == "content")
        return Content(rest);
    return UsageError(sub.empty() ? "a subcommand is needed" : "unknown subcommand " + sub, kUsage);
}

} // namespace trumik::host
