"""The Debian package: made with CPack from the build, unpacked with
`dpkg-deb -x` into a temporary folder and used from there. As root on a
throw-away machine (TRUMIK_CI_DPKG=1) it is also installed with dpkg, used
through the installed commands and removed again."""
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from install_support import BUILD, DOCUMENT, PIN, SignerSetup, clean_env, python_host, run, tool_env

CPACK = os.environ.get("TRUMIK_CPACK", "cpack")
DEPENDENCIES = ("libxml2", "libxslt1.1", "libxmlsec1", "libxmlsec1-openssl", "libssl3", "libengine-gost-openssl",
                "libsqlite3-0", "python3")


class DebianPackageTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="trumik-package-")
        run([CPACK, "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B",
             os.path.join(cls.work, "out")], tool_env())
        packages = glob.glob(os.path.join(cls.work, "out", "*.deb"))
        assert len(packages) == 1, packages
        cls.deb = packages[0]

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def field(self, name):
        return run(["dpkg-deb", "-f", self.deb, name], tool_env(), text=True).stdout.strip()

    def test_control_names_the_package_its_version_and_dependencies(self):
        self.assertEqual(self.field("Package"), "trumik")
        self.assertRegex(self.field("Version"), r"^1\.4\.\d+$")
        self.assertEqual(os.path.basename(self.deb), f"trumik_{self.field('Version')}_{self.field('Architecture')}.deb")
        depends = [d.strip().split(" ")[0] for d in self.field("Depends").split(",")]
        for dependency in DEPENDENCIES:
            self.assertIn(dependency, depends)

    def test_contents_install_under_usr(self):
        listing = run(["dpkg-deb", "-c", self.deb], tool_env(), text=True).stdout
        files = {line.split()[-1] for line in listing.splitlines() if not line.endswith("/")}
        for expected in ("./usr/bin/trumik", "./usr/lib/libtrumikplatform.so", "./usr/lib/Zelvane.Trumik.XmlSigner.so",
                         "./usr/lib/Zelvane.Trumik.Exchange.so", "./usr/lib/libtrumikcommon.so",
                         "./usr/lib/libxmlsec1-mscrypto.so", "./usr/lib/pkgconfig/trumik.pc",
                         "./usr/include/trumik/ZelvaneTrumikXmlSigner.h", "./usr/share/man/man1/trumik.1",
                         "./usr/lib/python3/dist-packages/trumik/client.py"):
            self.assertIn(expected, files)
        self.assertTrue(all(f.startswith("./usr/") for f in files), files)
        self.assertNotIn("./usr/lib/libtrumik-testtoken.so", files)

    def test_unpacked_package_signs_and_verifies_where_it_lies(self):
        root = os.path.join(self.work, "root")
        run(["dpkg-deb", "-x", self.deb, root], tool_env())
        setup = SignerSetup(os.path.join(root, "usr", "bin"), os.path.join(self.work, "home"), self.work)
        signed = os.path.join(self.work, "signed.xml")
        run([setup.trumik, "sign", "--store", "My", "--thumbprint", setup.thumbprint, "--pin", PIN, setup.document,
             "-o", signed], setup.env)
        run([setup.trumik, "verify", "--cert", setup.cert, signed], setup.env)
        report = python_host(os.path.join(root, "usr", "lib", "python3", "dist-packages"), setup)
        self.assertEqual(report["sign_code"], 0, report["sign_message"])
        self.assertTrue(report["verified"])
        self.assertEqual(report["platform_library"], os.path.join(root, "usr", "lib", "libtrumikplatform.so"))

    @unittest.skipUnless(os.geteuid() == 0 and os.environ.get("TRUMIK_CI_DPKG") == "1",
                         "installs system-wide: only as root on a throw-away machine (TRUMIK_CI_DPKG=1)")
    def test_installed_with_dpkg(self):
        run(["dpkg", "-i", self.deb], tool_env())
        try:
            home = os.path.join(self.work, "dpkg-home")
            setup = SignerSetup("/usr/bin", home, self.work)
            signed = os.path.join(self.work, "dpkg-signed.xml")
            run(["trumik", "sign", "--store", "My", "--thumbprint", setup.thumbprint, "--pin", PIN, setup.document,
                 "-o", signed], setup.env)
            run(["trumik", "verify", "--cert", setup.cert, signed], setup.env)
            # Debian's own interpreter finds the package with no path given.
            code = ("from trumik.client import Dispatch\n"
                    "s = Dispatch('ZelvaneTrumikXmlSigner.MSXmlSigner')\n"
                    f"r = s.SignWithCertStorePass({DOCUMENT!r}, 'My', {setup.thumbprint!r}, {PIN!r})\n"
                    "print(s.SignGetLastErrorCode(), '<Signature' in r)\n")
            out = run(["/usr/bin/python3", "-c", code], clean_env(home), text=True).stdout
            self.assertEqual(out.strip(), "0 True")
            flags = run(["pkg-config", "--cflags", "--libs", "trumik"], clean_env(home), text=True).stdout
            self.assertIn("-ltrumikplatform", flags)
            self.assertNotIn("rpath", flags)
        finally:
            run(["dpkg", "-r", "trumik"], tool_env())
        self.assertFalse(os.path.exists("/usr/bin/trumik"))
        self.assertFalse(os.path.exists("/usr/lib/python3/dist-packages/trumik"))


if __name__ == "__main__":
    unittest.main()
