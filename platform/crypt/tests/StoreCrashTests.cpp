// A process killed while it writes a system store leaves the store readable,
// every certificate whole with its properties, and the store writable.
#include "CryptFixtures.h"

#include "TestHome.h"
#include "registry/RegistryValues.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

using namespace trumik::crypttest;

namespace {

constexpr const char16_t* kStore = u"KillMy";
constexpr int kDistinct = 24;

void Link(PCCERT_CONTEXT c, const std::u16string& container)
{
    CRYPT_KEY_PROV_INFO info{const_cast<LPWSTR>(container.c_str()),
                             const_cast<LPWSTR>(CP_GR3410_2001_PROV_W),
                             75,
                             0,
                             0,
                             nullptr,
                             AT_KEYEXCHANGE};
    CertSetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
}

// The container name written with round `round`: long enough that a torn
// write would show in the blob.
std::u16string ContainerName(long round)
{
    return u"container-" + U16(std::to_string(round)) + std::u16string(200, u'x');
}

} // namespace

// The writer, started by the test below on its root; it never ends by itself
// while its parent lives.
TEST(SystemStoreCrash, ChildWritesUntilKilled)
{
    const char* home = std::getenv("CRYPT_KILL_HOME");
    const char* fd = std::getenv("CRYPT_KILL_FD");
    if (!home || !fd)
        GTEST_SKIP() << "runs as the child of KilledWriterLeavesOldOrNewState";
    setenv("TRUMIK_HOME", home, 1);
    int ready = std::atoi(fd);
    std::vector<Bytes> certs;
    for (int i = 0; i < kDistinct; ++i)
        certs.push_back(MakeQuickCert(9000 + i, "Killed writer " + std::to_string(i)));
    pid_t parent = getppid();
    for (long round = 0; getppid() == parent; ++round) {
        UniqueStore s(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, kStore));
        const Bytes& der = certs[static_cast<size_t>(round % kDistinct)];
        PCCERT_CONTEXT c = nullptr;
        if (s && CertAddEncodedCertificateToStore(s.get(), X509_ASN_ENCODING, der.data(),
                                                  static_cast<DWORD>(der.size()),
                                                  CERT_STORE_ADD_REPLACE_EXISTING, &c)) {
            Link(c, ContainerName(round));
            if (round % 5 == 4)
                CertDeleteCertificateFromStore(CertDuplicateCertificateContext(c));
            CertFreeCertificateContext(c);
        }
        if (round == kDistinct) {
            char one = 1;
            if (write(ready, &one, 1) != 1)
                _exit(1);
        }
    }
    _exit(0);
}

TEST(SystemStoreCrash, KilledWriterLeavesOldOrNewState)
{
    if (std::getenv("CRYPT_KILL_FD"))
        GTEST_SKIP();
    GetFixtures(); // the openssl fixtures before the fork, not in the child
    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::string home = trumik::testing::TestHome().string();
    for (int attempt = 0; attempt < 3; ++attempt) {
        int pipeFds[2];
        ASSERT_EQ(pipe(pipeFds), 0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(pipeFds[0]);
            std::string fd = std::to_string(pipeFds[1]);
            setenv("CRYPT_KILL_HOME", home.c_str(), 1);
            setenv("CRYPT_KILL_FD", fd.c_str(), 1);
            execl(self.c_str(), self.c_str(), "--gtest_filter=SystemStoreCrash.ChildWritesUntilKilled",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(pipeFds[1]);
        char byte = 0;
        ASSERT_EQ(read(pipeFds[0], &byte, 1), 1) << "the writer stopped before it wrote";
        close(pipeFds[0]);
        usleep(static_cast<useconds_t>(20000 + attempt * 37000)); // the kill lands anywhere in a round
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));

        // Every key the writer left is a whole certificate with a whole link.
        std::u16string path = u"Software\\Microsoft\\SystemCertificates\\KillMy\\Certificates";
        auto parent = trumik::platform::OpenRegistryKey(HKEY_CURRENT_USER, path);
        ASSERT_TRUE(parent);
        int keys = 0;
        for (DWORD i = 0;; ++i) {
            char16_t name[256];
            DWORD len = 256;
            if (RegEnumKeyExW(parent.get(), i, name, &len, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS)
                break;
            ++keys;
        }
        UniqueStore s(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                    CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_OPEN_EXISTING_FLAG, kStore));
        ASSERT_TRUE(s);
        int certs = 0;
        for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(s.get(), nullptr); c;
             c = CertEnumCertificatesInStore(s.get(), c)) {
            ++certs;
            DWORD size = 0;
            if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size))
                continue; // added, killed before its link: the state between two writes
            std::vector<uint64_t> buffer((size + 7) / 8);
            ASSERT_TRUE(
                CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size));
            auto info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
            std::u16string container = info->pwszContainerName;
            EXPECT_EQ(container.rfind(u"container-", 0), 0u);
            EXPECT_EQ(container.size() - container.find(u'x'), 200u);
            EXPECT_EQ(std::u16string(info->pwszProvName), CP_GR3410_2001_PROV_W);
        }
        EXPECT_EQ(certs, keys) << "a key without a readable certificate";
        EXPECT_GT(certs, 0);

        // The store still takes writes.
        Bytes fresh = MakeQuickCert(9900 + attempt, "After the kill");
        PCCERT_CONTEXT c = nullptr;
        ASSERT_TRUE(CertAddEncodedCertificateToStore(s.get(), X509_ASN_ENCODING, fresh.data(),
                                                     static_cast<DWORD>(fresh.size()), CERT_STORE_ADD_NEW,
                                                     &c));
        Link(c, ContainerName(-1));
        CertDeleteCertificateFromStore(c);
    }
}
