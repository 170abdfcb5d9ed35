"""What the install and package tests share: a clean environment (no library
search path, a fresh TRUMIK_HOME), and a prefix set up for signing: the module
registered, a GOST certificate with a PIN-protected container in My."""
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.environ.get("TRUMIK_BUILD_DIR", "")
PIN = "1234"
DOCUMENT = "<doc><p>Установлено где угодно</p></doc>\n"
OUR_LIBRARIES = ("libtrumikplatform.so", "libtrumikcommon.so", "Zelvane.Trumik.XmlSigner.so", "libxmlsec1-mscrypto.so")


def clean_env(home, **extra):
    """The test's environment without anything that would find libraries or
    Python packages for the programs: they must find their own."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_LIBRARY_PATH", "PYTHONPATH", "TRUMIK_LIB_DIR", "TRUMIK_BUILD_DIR", "PKG_CONFIG_PATH")}
    env["TRUMIK_HOME"] = home
    env.update(extra)
    return env


def tool_env(**extra):
    """For build tools (cmake, cpack, the compiler, pkg-config): the sanitizer
    runtime that the test's own interpreter may have preloaded is not theirs."""
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    env.update(extra)
    return env


def run(args, env, check=True, **kwargs):
    result = subprocess.run(args, env=env, capture_output=True, **kwargs)
    if check and result.returncode != 0:
        raise AssertionError(f"{args} exited with {result.returncode}:\n"
                             f"{result.stdout!r}\n{result.stderr.decode('utf-8', 'replace') if isinstance(result.stderr, bytes) else result.stderr}")
    return result


class SignerSetup:
    """A registered module and a signing certificate under `home`, made with
    the `trumik` of `bin_dir`."""

    def __init__(self, bin_dir, home, work):
        self.trumik = os.path.join(bin_dir, "trumik")
        self.home = home
        self.env = clean_env(home)
        os.makedirs(home, exist_ok=True)
        self.registered = run([self.trumik, "register"], self.env, text=True).stdout
        made = run([self.trumik, "cert", "new", "--subject", "CN=Install test, O=Trumik, C=RU", "--container",
                    "install-test", "--pin", PIN], self.env, text=True)
        self.thumbprint = made.stdout.strip()
        self.cert = os.path.join(work, "signer.der")
        run([self.trumik, "cert", "export", self.thumbprint, "--out", self.cert], self.env)
        self.document = os.path.join(work, "doc.xml")
        with open(self.document, "w", encoding="utf-8") as f:
            f.write(DOCUMENT)


def python_host(python_dir, setup, extra_env=None):
    """Runs gost_host.py with the trumik package of `python_dir`; its report."""
    env = clean_env(setup.home, PYTHONPATH=python_dir, **(extra_env or {}))
    result = run([sys.executable, os.path.join(HERE, "gost_host.py"), setup.thumbprint, PIN, setup.cert], env,
                 text=True)
    return json.loads(result.stdout)
