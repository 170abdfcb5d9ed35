// Two processes writing and reading one system store at once: each sees the
// other's last change on its next call, and never a certificate half written.
//
// The parent and a worker (this binary run again on the worker test) take
// turns by rounds over two pipes, without waiting for each other's reads: in
// round n each rewrites its own certificate with the friendly name "<me> n"
// (the whole registry value), tells the other, and once told that the other
// has done round n, opens the store and finds the other's certificate, whose
// name must then be round n or the next (the other may already have moved
// on), never an older one, and whose encoding must be whole.
#include "CryptFixtures.h"

#include "TestHome.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

using namespace trumik::crypttest;

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr int kRounds = 40;
constexpr const char* kHomeVar = "STORE_SHARING_HOME";
constexpr const char* kFdsVar = "STORE_SHARING_FDS"; // "<read fd> <write fd>" of the worker
constexpr const char* kTaskVar = "STORE_SHARING_TASK";

// The certificates of the two sides, made by the parent before the worker
// starts and read by both from the shared root.
std::filesystem::path SharedHome()
{
    const char* parents = std::getenv(kHomeVar);
    return parents ? std::filesystem::path(parents) : trumik::testing::TestHome();
}

// Made once per parent process: CertOf keeps what it first read.
void MakeSharedCerts()
{
    static const bool made = [] {
        WriteBytes(SharedHome() / "sharing-p.der", MakeQuickCert(7001, "Sharing p"));
        WriteBytes(SharedHome() / "sharing-w.der", MakeQuickCert(7002, "Sharing w"));
        return true;
    }();
    (void)made;
}

Bytes CertOf(char side)
{
    static const Bytes parent = ReadBytes(SharedHome() / "sharing-p.der");
    static const Bytes worker = ReadBytes(SharedHome() / "sharing-w.der");
    return side == 'p' ? parent : worker;
}

// A name long enough that the value spans many pages of a write.
std::u16string NameFor(char side, int round)
{
    return U16(std::string(1, side) + " " + std::to_string(round) + " ") + std::u16string(3000, u'x');
}

UniqueStore OpenShared()
{
    return UniqueStore(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"Shared"));
}

// Rewrites the certificate of `side` with its name for `round`.
bool Write(char side, int round)
{
    UniqueStore store = OpenShared();
    const Bytes der = CertOf(side);
    PCCERT_CONTEXT added = nullptr;
    if (!store ||
        !CertAddEncodedCertificateToStore(store.get(), kEnc, der.data(), static_cast<DWORD>(der.size()),
                                          CERT_STORE_ADD_USE_EXISTING, &added))
        return false;
    UniqueCert cert(added);
    const std::u16string name = NameFor(side, round);
    CRYPT_DATA_BLOB blob{static_cast<DWORD>((name.size() + 1) * sizeof(char16_t)),
                         reinterpret_cast<BYTE*>(const_cast<char16_t*>(name.c_str()))};
    return CertSetCertificateContextProperty(cert.get(), CERT_FRIENDLY_NAME_PROP_ID, 0, &blob);
}

// The round of the name `side`'s certificate has on a fresh open (or in the
// store given), -1 when it is missing, -2 when what is there is not whole.
int ReadRound(char side, HCERTSTORE opened = nullptr)
{
    UniqueStore fresh(opened ? nullptr : OpenShared().release());
    HCERTSTORE store = opened ? opened : fresh.get();
    const Bytes der = CertOf(side);
    BYTE hash[SHA_DIGEST_LENGTH];
    SHA1(der.data(), der.size(), hash);
    if (!store)
        return -2;
    CRYPT_HASH_BLOB wanted{20, hash};
    UniqueCert cert(CertFindCertificateInStore(store, kEnc, 0, CERT_FIND_SHA1_HASH, &wanted, nullptr));
    if (!cert)
        return -1;
    if (Bytes(cert->pbCertEncoded, cert->pbCertEncoded + cert->cbCertEncoded) != der)
        return -2;
    std::u16string name(4096, u'\0');
    DWORD bytes = static_cast<DWORD>(name.size() * sizeof(char16_t));
    if (!CertGetCertificateContextProperty(cert.get(), CERT_FRIENDLY_NAME_PROP_ID, name.data(), &bytes))
        return -1;
    name.resize(bytes / sizeof(char16_t));
    if (!name.empty() && name.back() == u'\0')
        name.pop_back();
    for (int round = 0; round < kRounds; ++round)
        if (name == NameFor(side, round))
            return round;
    return -2;
}

// The rounds of one side; the first failure ends them, described.
std::string Exchange(char me, char other, int readFd, int writeFd)
{
    for (int round = 0; round < kRounds; ++round) {
        if (!Write(me, round))
            return "round " + std::to_string(round) + ": own write failed";
        const char sent = static_cast<char>(round);
        char got = 0;
        if (write(writeFd, &sent, 1) != 1 || read(readFd, &got, 1) != 1 || got != sent)
            return "round " + std::to_string(round) + ": the other side is gone (" + std::strerror(errno) +
                   ")";
        const int seen = ReadRound(other);
        if (seen != round && seen != round + 1)
            return std::string(1, me) + " round " + std::to_string(round) + ": saw " + std::to_string(seen);
    }
    return {};
}

// Run only as the worker of the test below, on the parent's root.
TEST(StoreSharingWorker, DISABLED_Exchange)
{
    const char* home = std::getenv(kHomeVar);
    const char* fds = std::getenv(kFdsVar);
    ASSERT_TRUE(home && fds);
    setenv("TRUMIK_HOME", home, 1);
    int readFd = -1, writeFd = -1;
    ASSERT_EQ(std::sscanf(fds, "%d %d", &readFd, &writeFd), 2);
    EXPECT_EQ(Exchange('w', 'p', readFd, writeFd), "");
}

// Starts this binary again as the worker test `test` on our root, with `extra`
// in its environment and the given fds as its 100 and 101 (none when -1).
pid_t SpawnWorker(const char* test, const std::string& extra, int fd100 = -1, int fd101 = -1)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (fd100 >= 0)
        posix_spawn_file_actions_adddup2(&actions, fd100, 100);
    if (fd101 >= 0)
        posix_spawn_file_actions_adddup2(&actions, fd101, 101);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        env.emplace_back(*e);
    env.push_back(std::string(kHomeVar) + "=" + trumik::testing::TestHome().string());
    env.push_back(extra);
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::string filter = std::string("--gtest_filter=StoreSharingWorker.DISABLED_") + test;
    std::string disabled = "--gtest_also_run_disabled_tests";
    char* argv[] = {self.data(), filter.data(), disabled.data(), nullptr};
    pid_t worker = -1;
    const int spawned = posix_spawn(&worker, self.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return spawned == 0 ? worker : -1;
}

bool WorkerSucceeded(pid_t worker)
{
    int status = 0;
    return worker > 0 && waitpid(worker, &status, 0) == worker && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

TEST(StoreSharing, TwoProcessesSeeEachOthersChangesOnTheirNextCall)
{
    int toWorker[2], toParent[2];
    MakeSharedCerts();
    // The worker gets its two ends as fds 100 and 101, and none of ours.
    ASSERT_EQ(pipe2(toWorker, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(toParent, O_CLOEXEC), 0);
    const pid_t worker = SpawnWorker("Exchange", std::string(kFdsVar) + "=100 101", toWorker[0], toParent[1]);
    ASSERT_GT(worker, 0);
    close(toWorker[0]);
    close(toParent[1]);

    const std::string failure = Exchange('p', 'w', toParent[0], toWorker[1]);
    close(toWorker[1]); // a worker still waiting sees the end and fails
    close(toParent[0]);
    EXPECT_TRUE(WorkerSucceeded(worker)) << "the worker failed";
    EXPECT_EQ(failure, "");
    EXPECT_EQ(ReadRound('p'), kRounds - 1);
    EXPECT_EQ(ReadRound('w'), kRounds - 1);
}

// Run only by the test below: one change of the parent's certificate, named in
// the environment ("rewrite N" or "delete").
TEST(StoreSharingWorker, DISABLED_ChangeOnce)
{
    const char* home = std::getenv(kHomeVar);
    const char* task = std::getenv(kTaskVar);
    ASSERT_TRUE(home && task);
    setenv("TRUMIK_HOME", home, 1);
    int round = 0;
    if (std::sscanf(task, "rewrite %d", &round) == 1) {
        EXPECT_TRUE(Write('p', round));
        return;
    }
    ASSERT_EQ(std::string(task), "delete");
    UniqueStore store = OpenShared();
    const Bytes der = CertOf('p');
    BYTE hash[SHA_DIGEST_LENGTH];
    SHA1(der.data(), der.size(), hash);
    CRYPT_HASH_BLOB wanted{20, hash};
    PCCERT_CONTEXT cert =
        CertFindCertificateInStore(store.get(), kEnc, 0, CERT_FIND_SHA1_HASH, &wanted, nullptr);
    ASSERT_TRUE(cert);
    EXPECT_TRUE(CertDeleteCertificateFromStore(cert));
}

// A process that only reads keeps what it read of the store for its next
// calls; a change by another process must still reach its next open.
TEST(StoreSharing, AProcessThatOnlyReadsSeesAnotherProcesssChangeOnItsNextOpen)
{
    MakeSharedCerts();
    ASSERT_TRUE(Write('p', 0));
    EXPECT_EQ(ReadRound('p'), 0);
    EXPECT_EQ(ReadRound('p'), 0); // read twice: the second is served from what the first kept

    ASSERT_TRUE(WorkerSucceeded(SpawnWorker("ChangeOnce", std::string(kTaskVar) + "=rewrite 5")));
    EXPECT_EQ(ReadRound('p'), 5);
    EXPECT_EQ(ReadRound('p'), 5);

    ASSERT_TRUE(WorkerSucceeded(SpawnWorker("ChangeOnce", std::string(kTaskVar) + "=delete")));
    EXPECT_EQ(ReadRound('p'), -1);
}

// A store handle opened before a write of this process looks the certificate
// up afresh after it: what the process kept from before the write is dropped.
TEST(StoreSharing, AHandleOpenedBeforeAWriteOfThisProcessFindsWhatTheWriteLeft)
{
    MakeSharedCerts();
    ASSERT_TRUE(Write('w', 1));
    UniqueStore early = OpenShared();
    ASSERT_TRUE(early);
    EXPECT_EQ(ReadRound('w'), 1); // kept under the stamp `early` was opened at
    ASSERT_TRUE(Write('w', 2));
    EXPECT_EQ(ReadRound('w', early.get()), 2);
}

} // namespace
