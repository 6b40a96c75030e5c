"""Makes ZIP archives of one known folder tree with several real producers.

    python3 make_producer_zips.py OUTPUT_FOLDER

Writes the archives and `expected.txt` into OUTPUT_FOLDER (emptied first). Each line of
`expected.txt` is `archive|files|bytes|directory offset`: the regular files and their total
size are taken from the tree that was zipped, the directory offset from Python's reader, so the
verifier's counts are compared with what went in, not with what another reader says.
"""

import io
import os
import random
import shutil
import subprocess
import sys
import tempfile
import zipfile

# Name, size. Names ending in "/" are folders (empty unless files are put inside).
TREE = [
    ("Quorvalent.exe", 3000),
    ("readme.txt", 10000),
    ("empty.dat", 0),
    ("lib/core.dll", 70000),  # more than the verifier's tail window: the directory lies before it
    ("lib/plugins/a.bin", 123),
    ("T\u00e0i li\u1ec7u/H\u01b0\u1edbng d\u1eabn.txt", 500),
    ("empty folder/", 0),
]


# Enough records that the directory outgrows any single read of the verifier.
MANY = [(f"d{i % 40}/sub{i % 7}/file-{i}.txt", i % 300) for i in range(2500)]


def make_tree(root, entries):
    rng = random.Random(20240607)
    for name, size in entries:
        path = os.path.join(root, *name.rstrip("/").split("/"))
        if name.endswith("/"):
            os.makedirs(path, exist_ok=True)
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        # Half text (compresses), half noise (does not), so deflate and store both matter.
        text = (b"Quorvalent " * (size // 22 + 1))[: size // 2]
        noise = bytes(rng.getrandbits(8) for _ in range(size - len(text)))
        with open(path, "wb") as f:
            f.write(text + noise)


def tree_members(root):
    """Archive names of every folder (with a trailing slash) and file under root, sorted."""
    members = []
    for folder, dirs, files in os.walk(root):
        rel = os.path.relpath(folder, root)
        if rel != ".":
            members.append((rel.replace(os.sep, "/") + "/", folder))
        for name in files:
            path = os.path.join(folder, name)
            members.append((os.path.relpath(path, root).replace(os.sep, "/"), path))
    return sorted(members)


class Unseekable(io.RawIOBase):
    """A write-only stream without seek or tell: zipfile then writes data descriptors."""

    def __init__(self, target):
        self.target = target

    def writable(self):
        return True

    def write(self, data):
        return self.target.write(data)


def python_zip(out, root, compression, unseekable=False, comment=b""):
    with open(out, "wb") as raw:
        sink = Unseekable(raw) if unseekable else raw
        with zipfile.ZipFile(sink, "w", compression=compression) as archive:
            archive.comment = comment
            for name, path in tree_members(root):
                archive.write(path, name)


def info_zip(out, root, *options, stream=False):
    if stream:
        # Writing to a pipe makes zip use data descriptors.
        data = subprocess.run(["zip", "-q", "-r", *options, "-", "."], cwd=root, check=True,
                              stdout=subprocess.PIPE).stdout
        with open(out, "wb") as f:
            f.write(data)
    else:
        subprocess.run(["zip", "-q", "-r", *options, out, "."], cwd=root, check=True)


def bsdtar_zip(out, root, *options):
    top = sorted(os.listdir(root))
    subprocess.run(["bsdtar", "--format", "zip", *options, "-cf", out, "-C", root, *top],
                   check=True)


def check_descriptors(path, expected):
    with zipfile.ZipFile(path) as archive:
        flagged = any(info.flag_bits & 0x08 for info in archive.infolist())
    if flagged != expected:
        raise SystemExit(f"{path}: data descriptors {'missing' if expected else 'present'}")


def zip_tree(root, tree_name, entries, out_dir):
    files = [(n, s) for n, s in entries if not n.endswith("/")]
    expected_files, expected_bytes = len(files), sum(s for _, s in files)
    producers = {
        "python-deflated.zip": lambda p: python_zip(p, root, zipfile.ZIP_DEFLATED,
                                                    comment=b"Quorvalent package"),
        "python-stored.zip": lambda p: python_zip(p, root, zipfile.ZIP_STORED),
        "python-deflated-descriptors.zip": lambda p: python_zip(
            p, root, zipfile.ZIP_DEFLATED, unseekable=True),
        "python-stored-descriptors.zip": lambda p: python_zip(
            p, root, zipfile.ZIP_STORED, unseekable=True),
        "infozip-deflated.zip": lambda p: info_zip(p, root),
        "infozip-stored.zip": lambda p: info_zip(p, root, "-0"),
        "infozip-streamed.zip": lambda p: info_zip(p, root, stream=True),
        "bsdtar-deflated.zip": lambda p: bsdtar_zip(p, root),
        "bsdtar-stored.zip": lambda p: bsdtar_zip(p, root, "--options",
                                                  "zip:compression=store"),
    }
    descriptors = {"python-deflated-descriptors.zip": True,
                   "python-stored-descriptors.zip": True,
                   "infozip-streamed.zip": True,
                   "python-deflated.zip": False, "python-stored.zip": False}
    lines = []
    for name, produce in producers.items():
        path = os.path.join(out_dir, f"{tree_name}-{name}")
        produce(path)
        if name in descriptors:
            check_descriptors(path, descriptors[name])
        with zipfile.ZipFile(path) as archive:
            # The producer really holds the whole tree: the counts below describe it.
            stored = {i.filename for i in archive.infolist() if not i.is_dir()}
            if len(stored) != expected_files:
                raise SystemExit(f"{path}: {len(stored)} files, expected {expected_files}")
            offset = archive.start_dir
        lines.append(f"{tree_name}-{name}|{expected_files}|{expected_bytes}|{offset}\n")
    return lines



def main():
    out_dir = os.path.abspath(sys.argv[1])
    shutil.rmtree(out_dir, ignore_errors=True)
    os.makedirs(out_dir)
    lines = []
    with tempfile.TemporaryDirectory() as work:
        for tree_name, entries in (("package", TREE), ("many", MANY)):
            root = os.path.join(work, tree_name)
            make_tree(root, entries)
            lines += zip_tree(root, tree_name, entries, out_dir)
    with open(os.path.join(out_dir, "expected.txt"), "w", encoding="utf-8") as f:
        f.writelines(lines)

if __name__ == "__main__":
    main()
