"""Runs a command with a tree of Unix symbolic links laid out in the test prefix, which Wine
shows as Windows links (reparse points). Windows programs under Wine cannot make such links
themselves, so the tests that check that nothing follows a link get them from here.

    python3 -m tests.support.with_link_fixture -- COMMAND [ARG...]

The command finds the fixture in QUORVALENT_LINK_FIXTURE (its Windows path). Layout:

    outside\\secret.txt                   7 bytes, outside every tree a test walks
    outside\\QuorvalentRuntimeSetup.exe   a name the runtime search looks for
    outside\\empty                       an empty folder
    tree\\a.txt                           5 bytes
    tree\\sub\\b.txt                      3 bytes
    tree\\sub\\folder-link  -> outside    a folder link
    removal\\inner.txt, removal\\folder-link -> outside, removal\\file-link -> outside\\secret.txt,
    removal\\empty-link -> outside\\empty, and held-removal\\ the same
    root-link              -> outside
    file-link              -> outside\\secret.txt
    dangling-link          -> nowhere (which does not exist)

Wine shows only links to folders as reparse points (a link to a file looks like the file), and
cannot delete a link to a folder that is not empty. Opened "as itself", a link is followed all
the same (only the handle's final path tells), and deleting it, by its name or through such a
handle, deletes what it leads to (a file, an empty folder) and leaves the link. The exit status
is the command's; the fixture is removed afterwards.
"""

import os
import shutil
import subprocess
import sys

from tests.support.wine_harness import PREFIX, wine_env

FIXTURE = "C:\\quorvalent-link-fixture"


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def build(root):
    shutil.rmtree(root, ignore_errors=True)
    outside = os.path.join(root, "outside")
    write(os.path.join(outside, "secret.txt"), b"secret!")
    write(os.path.join(outside, "QuorvalentRuntimeSetup.exe"), b"MZ-not-ours")
    write(os.path.join(root, "tree", "a.txt"), b"aaaaa")
    write(os.path.join(root, "tree", "sub", "b.txt"), b"bbb")
    os.symlink(outside, os.path.join(root, "tree", "sub", "folder-link"))
    os.makedirs(os.path.join(outside, "empty"))
    for removal in ("removal", "held-removal"):
        write(os.path.join(root, removal, "inner.txt"), b"inner")
        os.symlink(outside, os.path.join(root, removal, "folder-link"))
        os.symlink(os.path.join(outside, "secret.txt"), os.path.join(root, removal, "file-link"))
        os.symlink(os.path.join(outside, "empty"), os.path.join(root, removal, "empty-link"))
    os.symlink(outside, os.path.join(root, "root-link"))
    os.symlink(os.path.join(outside, "secret.txt"), os.path.join(root, "file-link"))
    os.symlink(os.path.join(root, "nowhere"), os.path.join(root, "dangling-link"))


def main(argv):
    command = argv[1:] if argv[:1] == ["--"] else argv
    root = os.path.join(PREFIX, "drive_c", FIXTURE[3:])
    build(root)
    try:
        env = wine_env({"QUORVALENT_LINK_FIXTURE": FIXTURE})
        return subprocess.call(command, env=env, stdin=subprocess.DEVNULL)
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
