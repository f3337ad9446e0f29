#!/usr/bin/env python3
"""Runs the script tests as a user's fresh clone would: from a copy of the
tracked sources with no ../shared folder beside it.

usage: without_shared.py SOURCE_DIR BUILD_DIR

The tests and their environments come from the build's own CTest list
(`ctest --show-only=json-v1`): every test run as `bash SCRIPT` from the
source tree is run again from the copy, its source paths (and the shared
data paths, which lie beside the source) rewritten to the copy, its binaries
still those of BUILD_DIR. Each must pass or say it is skipped (77); a test
that fails only here reads data a fresh clone does not have.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile

TIMEOUT = 600


def copy_sources(source, dest):
    if os.path.exists(os.path.join(source, ".git")):  # a folder, or a file in a worktree
        files = subprocess.run(["git", "-C", source, "ls-files", "-z", "--cached", "--others",
                                "--exclude-standard"], check=True,
                               capture_output=True).stdout.split(b"\0")
        for name in filter(None, files):
            rel = os.fsdecode(name)
            src = os.path.join(source, rel)
            if not os.path.lexists(src):
                continue
            os.makedirs(os.path.dirname(os.path.join(dest, rel)), exist_ok=True)
            shutil.copy2(src, os.path.join(dest, rel), follow_symlinks=False)
    else:
        def top_level_builds(folder, names):
            if os.path.realpath(folder) != os.path.realpath(source):
                return []
            return [n for n in names if n.startswith("build") or n == ".git"]

        shutil.copytree(source, dest, symlinks=True, ignore=top_level_builds)


def main():
    source, build = (os.path.realpath(p) for p in sys.argv[1:3])
    listing = subprocess.run(["ctest", "--test-dir", build, "--show-only=json-v1"],
                             check=True, capture_output=True, text=True).stdout
    tests = json.loads(listing)["tests"]
    work = tempfile.mkdtemp(prefix="quorvel-fresh-clone-")
    try:
        clone = os.path.join(work, "quorvel")
        copy_sources(source, clone)
        shared = os.path.realpath(os.path.join(source, "..", "shared"))

        def rewrite(value, argument=False):
            if value.startswith(build):
                # The build's programs and folders, but scratch folders of
                # its own where a test is given one to write in.
                if not argument or os.path.isfile(value):
                    return value
                return os.path.join(work, "scratch") + value[len(build):]
            if value.startswith(shared):
                return os.path.join(work, "shared") + value[len(shared):]
            if value.startswith(source):
                return clone + value[len(source):]
            return value

        passed = skipped = 0
        failed = []
        for test in tests:
            command = test.get("command") or []
            if len(command) < 2 or os.path.basename(command[0]) != "bash":
                continue
            if not command[1].startswith(source + os.sep):
                continue
            props = {p["name"]: p["value"] for p in test.get("properties", [])}
            env = dict(os.environ)
            for item in props.get("ENVIRONMENT", []):
                key, _, value = item.partition("=")
                # "SOURCE/../shared" as CMake spells it.
                env[key] = rewrite(os.path.normpath(value) if "/../" in value else value)
            run_dir = os.path.join(work, "run", test["name"])
            os.makedirs(run_dir)
            try:
                result = subprocess.run([command[0]] + [rewrite(a, True) for a in command[1:]],
                                        cwd=run_dir, env=env, capture_output=True, text=True,
                                        timeout=TIMEOUT)
                status, output = result.returncode, result.stdout + result.stderr
            except subprocess.TimeoutExpired:
                status, output = "timeout", ""
            if status == 0:
                passed += 1
            elif status == props.get("SKIP_RETURN_CODE"):
                skipped += 1
            else:
                failed.append(test["name"])
                print(f"FAIL: {test['name']} exited {status} without ../shared:\n{output[-3000:]}")
        print(f"without ../shared: {passed} script tests passed, {skipped} skipped, "
              f"{len(failed)} failed")
        if passed == 0:
            print("FAIL: no script test ran")
            return 1
        return 1 if failed else 0
    finally:
        subprocess.run(["bash", "-c", f"grep -F '{work}' /proc/mounts | cut -d' ' -f2 |"
                        " xargs -r -n1 fusermount -u 2>/dev/null"], check=False)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
