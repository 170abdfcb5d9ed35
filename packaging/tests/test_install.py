"""An install prefix made by `cmake --install`, moved, and used from there.

The prefix is installed, copied to a second place and the first one removed;
everything then runs from the copy with no library search path: `trumik`
signs, verifies, encrypts and decrypts with GOST, a Python host signs through
trumik.client with a single copy of each library in its process, and an
early-binding C++ host builds with pkg-config against the copy and signs.
"""
import os
import shlex
import shutil
import subprocess
import tempfile
import unittest

from install_support import (BUILD, DOCUMENT, HERE, OUR_LIBRARIES, PIN, SignerSetup, clean_env, python_host, run,
                             tool_env)

CMAKE = os.environ.get("TRUMIK_CMAKE", "cmake")
PYTHON_DIR = os.path.join("lib", "python3", "dist-packages")


class MovedPrefixTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="trumik-install-")
        first = os.path.join(cls.work, "first")
        run([CMAKE, "--install", BUILD, "--prefix", first], tool_env())
        cls.prefix = os.path.join(cls.work, "moved")
        shutil.copytree(first, cls.prefix, symlinks=True)
        shutil.rmtree(first)
        cls.setup = SignerSetup(os.path.join(cls.prefix, "bin"), os.path.join(cls.work, "home"), cls.work)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.prefix, *parts)

    def test_the_prefix_holds_the_whole_product(self):
        for part in ("bin/trumik", "lib/libtrumikplatform.so", "lib/Zelvane.Trumik.XmlSigner.so",
                     "lib/Zelvane.Trumik.Exchange.so", "lib/libtrumikcommon.so",
                     "include/trumik/ZelvaneTrumikExchange.h", "include/trumik/ZelvaneTrumikExchange.tlb",
                     "lib/libxmlsec1-mscrypto.so", "lib/libtrumikguids.a", "lib/pkgconfig/trumik.pc",
                     "include/trumik/ZelvaneTrumikXmlSigner.h", "include/trumik/ZelvaneTrumikXmlSigner.idl",
                     "include/trumik/ZelvaneTrumikXmlSigner.tlb", "include/trumik/platform/oleauto.h",
                     "include/trumik/platform/objbase.h", "share/man/man1/trumik.1", "share/doc/trumik/README.md",
                     PYTHON_DIR + "/trumik/client.py", PYTHON_DIR + "/trumik/_location.py"):
            self.assertTrue(os.path.isfile(self.path(part)), part)
        # Programs of the build that are not the product stay out, and so does
        # the test token the demo and the tests use.
        self.assertEqual(os.listdir(self.path("bin")), ["trumik"])
        self.assertFalse(os.path.exists(self.path("lib", "libtrumik-testtoken.so")))

    def test_register_without_argument_registers_the_module_beside_trumik(self):
        module = self.path("lib", "Zelvane.Trumik.XmlSigner.so")
        self.assertIn(f"DllRegisterServer in {module} succeeded.", self.setup.registered)
        query = run([self.setup.trumik, "reg", "query",
                     r"HKCR\CLSID\{A4B9FF35-03A9-41C6-8881-3A59F572B446}\InprocServer32", "/ve"],
                    self.setup.env, text=True)
        self.assertIn(module, query.stdout)

    def test_trumik_signs_verifies_and_encrypts_from_the_moved_prefix(self):
        s = self.setup
        signed = os.path.join(self.work, "doc.signed.xml")
        run([s.trumik, "sign", "--store", "My", "--thumbprint", s.thumbprint, "--pin", PIN, s.document, "-o",
             signed], s.env)
        with open(signed, encoding="utf-8") as f:
            self.assertIn("<p>Установлено где угодно</p><Signature", f.read())
        run([s.trumik, "verify", "--cert", s.cert, signed], s.env)
        message = os.path.join(self.work, "doc.p7m")
        run([s.trumik, "encrypt", "--store", "My", "--thumbprint", s.thumbprint, s.document, "-o", message], s.env)
        opened = run([s.trumik, "decrypt", "--store", "My", "--thumbprint", s.thumbprint, "--pin", PIN, message],
                     s.env)
        self.assertEqual(opened.stdout.decode("utf-8"), DOCUMENT)

    def test_python_host_from_the_moved_prefix_has_one_copy_of_each_library(self):
        report = python_host(self.path(PYTHON_DIR), self.setup)
        self.assertEqual(report["sign_code"], 0, report["sign_message"])
        self.assertTrue(report["verified"])
        self.assertEqual(report["encrypt_code"], 0)
        self.assertTrue(report["decrypted_equal"])
        self.assertEqual(report["platform_library"], self.path("lib", "libtrumikplatform.so"))
        for name in OUR_LIBRARIES:
            self.assertEqual(report["maps"][name], [self.path("lib", name)], name)

    def test_module_and_platform_from_different_prefixes_share_one_backend(self):
        # The registered module is the moved prefix's; this host takes the
        # platform library from another copy. The back-end the module links
        # and the one the loader would load by name are different files.
        other = os.path.join(self.work, "other")
        shutil.copytree(self.prefix, other, symlinks=True)
        try:
            report = python_host(os.path.join(other, PYTHON_DIR), self.setup)
        finally:
            shutil.rmtree(other)
        self.assertEqual(report["platform_library"], os.path.join(other, "lib", "libtrumikplatform.so"))
        self.assertEqual(report["maps"]["Zelvane.Trumik.XmlSigner.so"],
                         [self.path("lib", "Zelvane.Trumik.XmlSigner.so")])
        self.assertEqual(len(report["maps"]["libxmlsec1-mscrypto.so"]), 1, report["maps"])
        self.assertEqual(len(report["maps"]["libtrumikplatform.so"]), 1, report["maps"])
        self.assertEqual(report["sign_code"], 0, report["sign_message"])
        self.assertTrue(report["verified"])

    def test_early_binding_host_builds_with_pkg_config_and_signs(self):
        env = tool_env(PKG_CONFIG_PATH=self.path("lib", "pkgconfig"))
        flags = run(["pkg-config", "--cflags", "--libs", "trumik"], env, text=True).stdout.split()
        for flag in flags:
            self.assertNotIn(os.environ.get("TRUMIK_SOURCE_DIR", "/nonexistent"), flag)
            self.assertNotIn(BUILD, flag)
        host = os.path.join(self.work, "early_host")
        compiler = os.environ.get("TRUMIK_CXX", "c++")
        extra = shlex.split(os.environ.get("TRUMIK_HOST_CXXFLAGS", ""))
        run([compiler, "-std=c++20", "-Wall", "-Wextra", "-Werror", *extra, os.path.join(HERE, "early_host.cpp"),
             "-o", host, *flags], env)
        signed = run([host, self.setup.thumbprint, PIN, self.setup.document], self.setup.env).stdout
        self.assertIn("<Signature".encode(), signed)
        path = os.path.join(self.work, "early.signed.xml")
        with open(path, "wb") as f:
            f.write(signed)
        run([self.setup.trumik, "verify", "--cert", self.setup.cert, path], self.setup.env)


class CopiedBuildTreeTest(unittest.TestCase):
    """The build tree's own programs and libraries, copied elsewhere while the
    build tree stays: the copies use each other, not the build tree."""

    def test_copied_tree_uses_its_own_libraries(self):
        work = tempfile.mkdtemp(prefix="trumik-copied-build-")
        try:
            copy = os.path.join(work, "copy")
            os.makedirs(os.path.join(copy, "bin"))
            shutil.copy2(os.path.join(BUILD, "bin", "trumik"), os.path.join(copy, "bin"))
            shutil.copytree(os.path.join(BUILD, "lib"), os.path.join(copy, "lib"), symlinks=True)
            setup = SignerSetup(os.path.join(copy, "bin"), os.path.join(work, "home"), work)
            self.assertIn(os.path.join(copy, "lib", "Zelvane.Trumik.XmlSigner.so"), setup.registered)
            source_package = os.path.join(os.environ["TRUMIK_SOURCE_DIR"], "python")
            report = python_host(source_package, setup, {"TRUMIK_LIB_DIR": os.path.join(copy, "lib")})
            self.assertEqual(report["sign_code"], 0, report["sign_message"])
            for name in OUR_LIBRARIES:
                self.assertEqual(report["maps"][name], [os.path.join(copy, "lib", name)], name)
            # trumik itself resolves the platform library beside it.
            traced = run(["ldd", setup.trumik], setup.env, text=True).stdout
            resolved = [line.split("=>")[1].split("(")[0].strip() for line in traced.splitlines()
                        if "libtrumikplatform.so =>" in line]
            self.assertEqual([os.path.normpath(p) for p in resolved], [os.path.join(copy, "lib", "libtrumikplatform.so")])
        finally:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
