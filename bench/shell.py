#!/usr/bin/env python3
"""Overlay installation against the host's `cp -r` and a bare CopyFileW loop, the extraction's
comparison of the tree with the archive's list against a bare read loop, and the cost of one
extraction poll against a bare FindFirstFileExW walk.

    python3 bench/shell.py [BUILD_DIR]      (default: $QUORVALENT_BUILD_DIR or build/bench)

Builds a package tree of 2,000 files (200 MiB, mixed sizes) in a temporary folder, copies it
with `cp -r`, with a bare CopyFileW loop under Wine and installs it with installFiles under
Wine in the same run (best of three each, fresh destination every time), and beside the bare
loop flushing each new file (the guarantee installFiles gives: every new file durable before
any name changes), and prints the ratios and which flush installFiles made. Then installs it again over an existing installation (every file replaced) beside the
bare loop replacing every file of one, and beside a bare loop that lands each file as a new
file (CopyFileW to a new name, MoveFileExW over the target), without and with each new file
flushed before the first move: an update that can be undone must
make a new file for every file, and a file system may charge far more for making and renaming
files than for truncating them. The same tree, zipped (stored), is held against its
archive's list (compareExtractedTree: names, sizes, CRC-32 of every byte) five times, alternating
with a bare loop that reads every file once in the same process. Then times tallyDirectory, the walk that every extraction poll makes, over 10,000
files, alternating with a bare FindFirstFileExW walk in the same process. Uses $WINEPREFIX
when it names a prefix, otherwise makes a throw-away one with scripts/wine-prefix.sh.
"""

import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, SOURCE_DIR)

from tests.support import wine_harness as wh  # noqa: E402
FILES = 2000
TOTAL_BYTES = 200 * 1024 * 1024
TALLY_FILES = 10000
ROUNDS = 3


def package_sizes(rng):
    """Mixed sizes: mostly small files, some medium ones, a few large ones, summing exactly."""
    weights = []
    for i in range(FILES):
        if i % 200 == 0:
            weights.append(rng.uniform(400, 1200))   # large: libraries, data packs
        elif i % 10 == 0:
            weights.append(rng.uniform(20, 120))     # medium
        else:
            weights.append(rng.uniform(0.5, 12))     # small: scripts, icons, texts
    scale = TOTAL_BYTES / sum(weights)
    sizes = [int(w * scale) for w in weights]
    sizes[0] += TOTAL_BYTES - sum(sizes)
    return sizes


def make_package(root, rng):
    sizes = package_sizes(rng)
    block = os.urandom(8 * 1024 * 1024)
    for i, size in enumerate(sizes):
        folder = os.path.join(root, "lib%02d" % (i % 20), "part%d" % (i % 7))
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "file%04d.bin" % i), "wb") as f:
            left, at = size, (i * 4099) % len(block)
            while left > 0:
                chunk = block[at:at + left]
                f.write(chunk)
                left -= len(chunk)
                at = 0
    return sum(sizes)


def make_many_files(root):
    for i in range(TALLY_FILES):
        folder = os.path.join(root, "d%03d" % (i // 100))
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "f%05d.txt" % i), "wb") as f:
            f.write(b"x" * (i % 2048))


def windows_path(host):
    return "Z:" + os.path.abspath(host).replace("/", "\\")


def run_bench(env, exe, *args):
    out = subprocess.run([wh.WINE, exe, *args], env=env, check=True, stdin=subprocess.DEVNULL,
                         stdout=subprocess.PIPE).stdout.decode()
    return dict(line.split() for line in out.splitlines() if line.strip())


def measure(exe, env, work):
    """Best-of-ROUNDS copy times (installFiles, a bare CopyFileW loop, cp -r; alternating,
    fresh destination every time) and the tally against a bare walk, in seconds."""
    rng = random.Random(20251208)
    package = os.path.join(work, "package")
    total = make_package(package, rng)
    times = {"install": [], "copyloop": [], "copyflush": [], "cp": [], "reinstall": [],
             "copyover": [], "landover": [], "landflush": []}
    for _ in range(ROUNDS):
        target = os.path.join(work, "cp-target")
        start = time.perf_counter()
        subprocess.run(["cp", "-r", package, target], check=True)
        times["cp"].append(time.perf_counter() - start)
        shutil.rmtree(target)
        for mode in ("install", "copyloop", "copyflush"):
            target = os.path.join(work, mode + "-target")
            result = run_bench(env, exe, mode, windows_path(package), windows_path(target))
            times[mode].append(float(result[mode + "_seconds"]))
            shutil.rmtree(target)
    # Over an existing installation: one copy of the package, replaced by both in turn.
    target = os.path.join(work, "existing-target")
    run_bench(env, exe, "copyloop", windows_path(package), windows_path(target))
    for round_number in range(ROUNDS):
        modes = ("reinstall", "copyover", "landover", "landflush")
        if round_number % 2:
            modes = modes[::-1]
        for mode in modes:
            result = run_bench(env, exe, mode, windows_path(package), windows_path(target))
            times[mode].append(float(result[mode + "_seconds"]))
    shutil.rmtree(target)
    # The same tree as an extraction would leave it, held against its archive's list.
    archive = os.path.join(work, "package.zip")
    with zipfile.ZipFile(archive, "w", compression=zipfile.ZIP_STORED) as z:
        for folder, _, files in os.walk(package):
            for name in sorted(files):
                path = os.path.join(folder, name)
                z.write(path, os.path.relpath(path, package).replace(os.sep, "/"))
    compare = run_bench(env, exe, "compare", windows_path(package), windows_path(archive), "5")
    os.remove(archive)
    shutil.rmtree(package)

    many = os.path.join(work, "many")
    make_many_files(many)
    tally = run_bench(env, exe, "tally", windows_path(many), "5")
    # Which flush installFiles made there: the volume's, or (where that is refused) each file's.
    volume = run_bench(env, exe, "volumeflush", windows_path(work))["volume_flushed"] == "1"
    figures = {name: min(values) for name, values in times.items()}
    figures["flush"] = "the volume" if volume else "each new file (volume refused)"
    figures.update({"package_bytes": total, "tally": tally, "compare": compare})
    return figures


def table_rows(figures):
    label = "installFiles, {:,} files / {} MiB".format(FILES, figures["package_bytes"] >> 20)
    tally = figures["tally"]
    return [
        (label, "s", figures["install"], "cp -r", figures["cp"]),
        (label, "s", figures["install"], "bare CopyFileW loop", figures["copyloop"]),
        (label + ", flushing " + figures["flush"], "s", figures["install"],
         "bare CopyFileW + FlushFileBuffers loop", figures["copyflush"]),
        (label + ", over an installation", "s", figures["reinstall"],
         "bare CopyFileW loop, replacing", figures["copyover"]),
        (label + ", over an installation", "s", figures["reinstall"],
         "bare loop, new file moved over each", figures["landover"]),
        (label + ", over an installation, flushing " + figures["flush"], "s",
         figures["reinstall"], "bare loop, each new file flushed, then moved over",
         figures["landflush"]),
        ("tallyDirectory, %s files (median)" % "{:,}".format(int(tally["tally_files"])), "ms",
         1000 * float(tally["tally_median_seconds"]), "bare FindFirstFileExW walk",
         1000 * float(tally["walk_median_seconds"])),
        ("tree vs archive list (names, sizes, CRC-32), {:,} files / {} MiB (median)".format(
            FILES, figures["package_bytes"] >> 20), "ms",
         1000 * float(figures["compare"]["compare_median_seconds"]),
         "bare loop reading each file once", 1000 * float(figures["compare"]["loop_median_seconds"])),
    ]


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                            os.environ.get("QUORVALENT_BUILD_DIR", "build/bench"))
    exe = os.path.join(build, "bench", "shell", "shell_bench.exe")
    if not os.path.exists(exe):
        sys.exit("not built: %s" % exe)
    work = tempfile.mkdtemp(prefix="qv-bench-shell-")
    env = dict(os.environ, WINEDEBUG="-all", QUORVALENT_BUILD_DIR=build,
               WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d")
    own_prefix = not os.path.exists(os.path.join(env.get("WINEPREFIX", ""), "system.reg"))
    try:
        if own_prefix:
            env["WINEPREFIX"] = os.path.join(work, "prefix")
            subprocess.run(["bash", os.path.join(SOURCE_DIR, "scripts", "wine-prefix.sh"),
                            env["WINEPREFIX"]], env=env, check=True, stdout=subprocess.DEVNULL)
        f = measure(exe, env, work)
        print("package: %d files, %d bytes" % (FILES, f["package_bytes"]))
        print("cp -r:              %.3f s (best of %d)" % (f["cp"], ROUNDS))
        print("bare CopyFileW loop: %.3f s (best of %d, under Wine)" % (f["copyloop"], ROUNDS))
        print("installFiles:       %.3f s (best of %d, under Wine)" % (f["install"], ROUNDS))
        print("ratio installFiles / cp -r: %.2f; / CopyFileW loop: %.2f"
              % (f["install"] / f["cp"], f["install"] / f["copyloop"]))
        print("over an existing installation: installFiles %.3f s, bare CopyFileW loop "
              "replacing %.3f s (best of %d); ratio %.2f"
              % (f["reinstall"], f["copyover"], ROUNDS, f["reinstall"] / f["copyover"]))
        print("bare loop copying each file to a new name and moving it over its target: "
              "%.3f s (best of %d); ratio %.2f"
              % (f["landover"], ROUNDS, f["reinstall"] / f["landover"]))
        print("installFiles flushed %s before its record" % f["flush"])
        print("bare CopyFileW + FlushFileBuffers loop into a new folder: %.3f s (best of %d); "
              "ratio installFiles / it: %.2f" % (f["copyflush"], ROUNDS,
                                                f["install"] / f["copyflush"]))
        print("bare loop making each file new and flushed, then moving each over its target: "
              "%.3f s (best of %d); ratio %.2f"
              % (f["landflush"], ROUNDS, f["reinstall"] / f["landflush"]))
        tally = f["tally"]
        print("tallyDirectory over %s files (%s bytes): median %.1f ms, best %.1f ms of 5 polls"
              % (tally["tally_files"], tally["tally_bytes"],
                 1000 * float(tally["tally_median_seconds"]),
                 1000 * float(tally["tally_min_seconds"])))
        compare = f["compare"]
        print("tree against the archive's list: median %.1f ms; bare loop reading each file "
              "once: median %.1f ms; ratio %.2f (5 alternating runs)"
              % (1000 * float(compare["compare_median_seconds"]),
                 1000 * float(compare["loop_median_seconds"]),
                 float(compare["compare_median_seconds"])
                 / float(compare["loop_median_seconds"])))
        print("bare FindFirstFileExW walk, same process: median %.1f ms, best %.1f ms; "
              "ratio (median) %.2f" % (1000 * float(tally["walk_median_seconds"]),
                                       1000 * float(tally["walk_min_seconds"]),
                                       float(tally["tally_median_seconds"])
                                       / float(tally["walk_median_seconds"])))
    finally:
        if own_prefix:
            subprocess.run(["wineserver", "-k"], env=env, check=False)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
