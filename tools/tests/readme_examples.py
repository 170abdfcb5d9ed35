#!/usr/bin/env python3
"""Runs the README's examples against the build tree, so that they stay true.

A fenced block that follows a line "<!-- example: NAME -->" is written to the
file NAME in a fresh folder. Then the blocks named *.sh run there, in the
order the README gives them, with bash -e, as a new user would run them after
installing: the build tree is installed into a temporary prefix that stands
for /opt/trumik in the examples' text, its bin/ comes first on PATH (for the
package's `trumik`) and then the folder of the python3 that runs this script, `build` in the folder is the build tree and `python` a copy of
the checkout's Python package, and TRUMIK_HOME
is a fresh folder. Any failing command fails the test.

    readme_examples.py README BUILD_DIR
"""
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

MARK = re.compile(r"^<!-- example: (\S+) -->\s*$")
FENCE = re.compile(r"^```")
PREFIX_IN_TEXT = "/opt/trumik"


def examples(readme):
    """(name, text) of each marked block, in the README's order."""
    lines = readme.read_text(encoding="utf-8").splitlines()
    found = []
    i = 0
    while i < len(lines):
        mark = MARK.match(lines[i])
        i += 1
        if not mark:
            continue
        if i >= len(lines) or not FENCE.match(lines[i]):
            raise SystemExit(f"README: the example {mark.group(1)} is not followed by a fenced block")
        body = []
        i += 1
        while i < len(lines) and not FENCE.match(lines[i]):
            body.append(lines[i])
            i += 1
        i += 1
        found.append((mark.group(1), "\n".join(body) + "\n"))
    return found


def main():
    readme, build = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2]).resolve()
    blocks = examples(readme)
    if not blocks:
        raise SystemExit("README: no marked examples")
    with tempfile.TemporaryDirectory(prefix="trumik-readme-") as work:
        work = pathlib.Path(work)
        prefix = work / "prefix"
        subprocess.run([os.environ.get("TRUMIK_CMAKE", "cmake"), "--install", str(build), "--prefix", str(prefix)],
                       check=True, stdout=subprocess.DEVNULL)
        folder = work / "examples"
        folder.mkdir()
        (folder / "build").symlink_to(build)
        # A copy: pip builds in the folder it is given.
        shutil.copytree(readme.resolve().parent / "python", folder / "python")
        env = dict(os.environ)
        env["TRUMIK_HOME"] = str(work / "home")
        # The examples' python3 is the one running this script (the system's, under ctest).
        python_dir = pathlib.Path(sys.executable).parent
        env["PATH"] = f"{prefix / 'bin'}:{python_dir}:{env.get('PATH', '/usr/bin:/bin')}"
        for variable in ("PYTHONPATH", "TRUMIK_LIB_DIR", "PKG_CONFIG_PATH"):
            env.pop(variable, None)
        for name, text in blocks:
            (folder / name).write_text(text.replace(PREFIX_IN_TEXT, str(prefix)), encoding="utf-8")
        for name, _ in blocks:
            if not name.endswith(".sh"):
                continue
            print(f"== {name}", flush=True)
            result = subprocess.run(["bash", "-e", "-o", "pipefail", name], cwd=folder, env=env,
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            print(result.stdout, end="")
            if result.returncode != 0:
                raise SystemExit(f"the README's example {name} failed with exit status {result.returncode}")
    print(f"{sum(1 for n, _ in blocks if n.endswith('.sh'))} scripts of {len(blocks)} examples ran")


if __name__ == "__main__":
    main()
