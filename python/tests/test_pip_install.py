"""`pip install ./python` with no network: the package built from its
pyproject.toml with the interpreter's own setuptools, installed into a
folder, and used from there."""
import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def missing_build_tools():
    missing = [name for name in ("pip", "setuptools", "wheel") if importlib.util.find_spec(name) is None]
    return ", ".join(missing)


class PipInstallTest(unittest.TestCase):

    # build.sh installs them for Debian's python3 (python3-pip, -setuptools, -wheel).
    @unittest.skipIf(missing_build_tools(), f"this interpreter lacks {missing_build_tools()} to build offline")
    def test_pip_installs_the_package_offline_and_it_finds_the_platform(self):
        work = tempfile.mkdtemp(prefix="trumik-pip-")
        try:
            # pip builds in the source folder; a copy keeps the tree clean.
            source = os.path.join(work, "python")
            shutil.copytree(SOURCE, source, ignore=shutil.ignore_patterns("__pycache__", "tests", "*.egg-info",
                                                                          "build"))
            target = os.path.join(work, "site")
            env = dict(os.environ, PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1")
            env.pop("PYTHONPATH", None)
            installed = subprocess.run([sys.executable, "-m", "pip", "install", "--no-build-isolation", "--no-deps",
                                        "--target", target, source], env=env, capture_output=True, text=True)
            self.assertEqual(installed.returncode, 0, installed.stdout + installed.stderr)
            self.assertTrue(os.path.isfile(os.path.join(target, "trumik", "client.py")))
            env["PYTHONPATH"] = target
            env["TRUMIK_HOME"] = os.path.join(work, "home")
            trumik = os.path.join(os.environ["TRUMIK_BUILD_DIR"], "bin", "trumik")
            subprocess.run([trumik, "register"], env=env, check=True, capture_output=True)
            code = ("import trumik, trumik.client as c\n"
                    "print(trumik.__file__)\n"
                    "print(c.Dispatch('ZelvaneTrumikXmlSigner.CryptEncMessage').CryptGetLastErrorCode())\n")
            used = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                                  cwd=work)
            self.assertEqual(used.returncode, 0, used.stderr)
            path, code_value = used.stdout.split()
            self.assertTrue(path.startswith(target), path)
            self.assertEqual(code_value, "0")
        finally:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
