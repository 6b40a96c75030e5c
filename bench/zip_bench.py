#!/usr/bin/env python3
"""ZIP verification benchmark: the installer's verifier against Python's zipfile and unzip.

    bench/zip_bench.py [BUILD_DIR] [--runs N]      (BUILD_DIR default: build/bench)

Builds zip_bench.exe in BUILD_DIR (configuring it for the cross toolchain if needed), makes two
archives in a temporary folder -- 65,534 entries (the largest count the verifier accepts) and a
single stored entry of 256 MiB -- and prints for each:

- the verifier's time per archive and per entry, measured inside the Windows process (Wine's
  process start-up is measured separately with an empty run and not included);
- Python's zipfile reading the same central directory (ZipFile(...).infolist()), timed inside
  the Python process, and the verifier/zipfile ratio;
- `unzip -Z1` listing the archive, timed as a whole process (start-up included, noted as such);
- bytes read from the archive file versus the central directory's size (read amplification).
  Bytes are counted from the outside with strace: the sum of what every read system call on the
  archive's file descriptor returned, in a separate run (strace slows it down, so it is not
  timed). The same count is taken for the two baselines. The verifier's count includes what
  the platform reads on opening the file (under Wine 8: 23 bytes at offset 0).

Uses WINEPREFIX when set; otherwise makes a throw-away prefix with scripts/wine-prefix.sh.
"""

import argparse
import os
import re
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import zipfile

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, SOURCE_DIR)

from tests.support import wine_harness as wh  # noqa: E402
MANY_ENTRIES = 65534
LARGE_SIZE = 256 * 1024 * 1024


def build(build_dir):
    if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
        subprocess.run(["cmake", "-S", SOURCE_DIR, "-B", build_dir,
                        "-DCMAKE_TOOLCHAIN_FILE=cmake/%s.cmake" % wh.host_toolchain(),
                        "-DCMAKE_BUILD_TYPE=Release"], check=True, stdout=subprocess.DEVNULL)
    # The stand-in too: scripts/wine-prefix.sh registers it in every prefix it makes.
    subprocess.run(["cmake", "--build", build_dir, "-j2", "--target", "zip_bench",
                    "quorvalent_shell_stand_in"], check=True, stdout=subprocess.DEVNULL)
    return os.path.join(build_dir, "bench", "zip", "zip_bench.exe")


def make_many(path):
    # Every 256th entry is a folder, as in a real package tree.
    with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_STORED) as archive:
        for i in range(MANY_ENTRIES):
            if i % 256 == 0:
                archive.writestr(f"pkg/d{i // 256:03d}/", b"")
            else:
                archive.writestr(f"pkg/d{i // 256:03d}/file-{i:05d}.dat", b"q" * (i % 200))


def make_large(path):
    block = os.urandom(1024 * 1024)
    with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_STORED) as archive:
        with archive.open("payload.bin", "w", force_zip64=False) as entry:
            for _ in range(LARGE_SIZE // len(block)):
                entry.write(block)


def directory_size(path):
    with open(path, "rb") as f:
        f.seek(-22, os.SEEK_END)
        record = f.read(22)
    signature, _, _, _, entries, size, offset, _ = struct.unpack("<IHHHHIIH", record)
    assert signature == 0x06054B50, "archive has a comment; the benchmark's archives do not"
    return entries, size


def windows_path(host):
    return "Z:" + os.path.abspath(host).replace("/", "\\")


def wine_env():
    env = dict(os.environ)
    env.setdefault("WINEDEBUG", "-all")
    env.setdefault("WINEDLLOVERRIDES", "mscoree=;mshtml=;winemenubuilder.exe=d")
    return env


def run_verifier(exe, archive, runs):
    start = time.perf_counter()
    done = subprocess.run([wh.WINE, exe, windows_path(archive), str(runs)], env=wine_env(),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                          check=True, text=True)
    wall = time.perf_counter() - start
    fields = dict(pair.split("=") for pair in done.stdout.split())
    return fields, wall


def wine_startup(exe):
    samples = []
    for _ in range(3):
        start = time.perf_counter()
        subprocess.run([wh.WINE, exe], env=wine_env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        samples.append(time.perf_counter() - start)
    return statistics.median(samples)


def zipfile_times(archive, runs):
    times = []
    files = 0
    for _ in range(runs):
        start = time.perf_counter()
        with zipfile.ZipFile(archive) as z:
            infos = z.infolist()
        times.append(time.perf_counter() - start)
        files = sum(1 for i in infos if not i.filename.endswith(("/", "\\")))
    return min(times), statistics.median(times), files


def unzip_time(archive, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run(["unzip", "-Z1", archive], stdout=subprocess.DEVNULL, check=True)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


READ_RESULT = re.compile(r"^\d+\s+(?:read|pread64|readv|preadv)\(.*\)\s+=\s+(\d+)")


def bytes_read(command, archive, env=None):
    """Sum of the byte counts that read calls on the archive returned, seen by strace."""
    with tempfile.NamedTemporaryFile("r", suffix=".strace") as log:
        subprocess.run(["strace", "-f", "-qq", "-o", log.name, "-P", archive,
                        "-e", "trace=read,pread64,readv,preadv", *command],
                       env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       stdin=subprocess.DEVNULL, check=True)
        return sum(int(m.group(1)) for m in map(READ_RESULT.match, log) if m)


def figures(exe, archive, runs):
    """Everything the report shows for one archive, measured in this order."""
    entries, cd_size = directory_size(archive)
    verifier, wall = run_verifier(exe, archive, runs)
    zf_min, zf_median, zf_files = zipfile_times(archive, runs)
    unzip_median = unzip_time(archive, min(runs, 10))
    assert int(verifier["files"]) == zf_files, (verifier, zf_files)
    return {
        "entries": entries, "cd_size": cd_size, "files": int(verifier["files"]),
        "size": os.path.getsize(archive), "wall": wall,
        "verifier_median": float(verifier["median_us"]) / 1e6,
        "verifier_min": float(verifier["min_us"]) / 1e6,
        "zipfile_median": zf_median, "zipfile_min": zf_min, "unzip_median": unzip_median,
        "read_verifier": bytes_read([wh.WINE, exe, windows_path(archive), "1"], archive,
                                    wine_env()),
        "read_zipfile": bytes_read(
            [sys.executable, "-c",
             "import sys, zipfile; zipfile.ZipFile(sys.argv[1]).infolist()", archive], archive),
        "read_unzip": bytes_read(["unzip", "-Z1", archive], archive),
    }


def report(label, exe, archive, runs):
    f = figures(exe, archive, runs)
    entries, cd_size, median_s = f["entries"], f["cd_size"], f["verifier_median"]
    print(f"\n== {label}: {entries:,} entries ({f['files']:,} files), "
          f"archive {f['size']:,} bytes, central directory {cd_size:,} bytes")
    print(f"  verifier (in process, {runs} runs): median {median_s * 1e3:.3f} ms, "
          f"min {f['verifier_min'] * 1e3:.3f} ms, "
          f"{median_s / entries * 1e9:.0f} ns per entry")
    print(f"  zipfile  (in process, {runs} runs): median {f['zipfile_median'] * 1e3:.3f} ms, "
          f"min {f['zipfile_min'] * 1e3:.3f} ms, "
          f"{f['zipfile_median'] / entries * 1e9:.0f} ns per entry")
    print(f"  ratio verifier/zipfile (median): {median_s / f['zipfile_median']:.2f}")
    print(f"  unzip -Z1 (whole process, start-up included): median "
          f"{f['unzip_median'] * 1e3:.3f} ms; ratio verifier/unzip "
          f"{median_s / f['unzip_median']:.2f}")
    print(f"  wine process for {runs} runs: {f['wall']:.2f} s wall")
    for name, key in (("verifier", "read_verifier"), ("zipfile", "read_zipfile"),
                      ("unzip -Z1", "read_unzip")):
        print(f"  bytes read, {name}: {f[key]:,} = {f[key] / cd_size:.3f} x central directory")


def table_rows(exe, runs=20):
    """bench/run's rows: the verifier against zipfile on the largest archive it accepts."""
    with tempfile.TemporaryDirectory(prefix="qv-zip-bench-") as work:
        many = os.path.join(work, "many.zip")
        make_many(many)
        f = figures(exe, many, runs)
    label = f"verification, {f['entries']:,} entries"
    return [
        (label + " (median)", "ms", f["verifier_median"] * 1e3, "Python zipfile",
         f["zipfile_median"] * 1e3),
        (label + ", read amplification", "x CD", f["read_verifier"] / f["cd_size"],
         "Python zipfile", f["read_zipfile"] / f["cd_size"]),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir", nargs="?", default=os.path.join(SOURCE_DIR, "build", "bench"))
    parser.add_argument("--runs", type=int, default=20)
    args = parser.parse_args()

    exe = build(os.path.abspath(args.build_dir))
    own_prefix = None
    if not os.environ.get("WINEPREFIX"):
        own_prefix = tempfile.mkdtemp(prefix="qv-bench-wine-")
        os.environ["WINEPREFIX"] = own_prefix
        os.environ["QUORVALENT_BUILD_DIR"] = os.path.abspath(args.build_dir)
        subprocess.run(["bash", os.path.join(SOURCE_DIR, "scripts", "wine-prefix.sh"), own_prefix],
                       check=True, stdout=subprocess.DEVNULL)
    try:
        with tempfile.TemporaryDirectory(prefix="qv-zip-bench-") as work:
            many = os.path.join(work, "many.zip")
            large = os.path.join(work, "large.zip")
            make_many(many)
            make_large(large)
            print(f"wine start-up of an empty run (not in any figure below): "
                  f"{wine_startup(exe):.2f} s")
            report("many entries", exe, many, args.runs)
            report("one 256 MiB entry", exe, large, args.runs * 10)
    finally:
        if own_prefix:
            subprocess.run(["wineserver", "-k"], env=wine_env())
            shutil.rmtree(own_prefix, ignore_errors=True)


if __name__ == "__main__":
    main()
