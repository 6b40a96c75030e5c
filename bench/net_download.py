#!/usr/bin/env python3
"""Download throughput and memory of the installer's transfer, beside curl, on loopback.

    python3 bench/net_download.py [--build DIR] [--runs N] [--sizes-mib 16,256]

Starts the loopback release server (tests/support/release_server.py) on free ports and, for
each body size and for http and https, downloads the same generated body with the
installer's transfer (build/.../bench/net/net_download_bench.exe under Wine) and with curl,
alternating, N runs each. Prints the best throughput of each, their ratio, and the peak
working set of the Windows process for each size, which must not grow with the body.

The build folder comes from --build or QUORVALENT_BUILD_DIR. The Wine prefix is WINEPREFIX
when it already holds the test CA (scripts/prefix.d/20-trust-test-ca.sh); otherwise a
temporary prefix is made with scripts/wine-prefix.sh and removed afterwards.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, SOURCE_DIR)

from tests.support.release_server import ReleaseServer  # noqa: E402
from tests.support.wine_harness import windows_path  # noqa: E402

MIB = 1 << 20


def wine_environment(prefix, build_dir):
    env = dict(os.environ)
    env.update({"WINEPREFIX": prefix, "WINEDEBUG": "-all",
                "WINEDLLOVERRIDES": "mscoree=;mshtml=;winemenubuilder.exe=d",
                "QUORVALENT_BUILD_DIR": build_dir})
    env.pop("QUORVALENT_TEST_CA_DIR", None)
    return env


def run_installer_transfer(exe, url, target, env):
    result = subprocess.run(["wine", exe, url, windows_path(target)], env=env,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, check=False)
    fields = result.stderr.decode("utf-8", "replace").split()
    if result.returncode != 0 or "bytes" not in fields:
        raise RuntimeError("bench program failed: %s" % result.stderr.decode("utf-8", "replace"))
    values = dict(zip(fields[::2], fields[1::2]))
    return int(values["bytes"]), float(values["seconds"]), int(values["peak_working_set"])


def run_curl(url, target, ca_file):
    result = subprocess.run(["curl", "-sS", "--fail", "--cacert", ca_file, "-o", target,
                             "-w", "%{size_download} %{time_total}", url],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True)
    size, seconds = result.stdout.split()
    return int(size), float(seconds)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.environ.get("QUORVALENT_BUILD_DIR"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--sizes-mib", default="16,256")
    args = parser.parse_args()
    if not args.build:
        parser.error("--build DIR or QUORVALENT_BUILD_DIR is needed")
    build_dir = os.path.abspath(args.build)
    exe = os.path.join(build_dir, "bench", "net", "net_download_bench.exe")
    if not os.path.isfile(exe):
        parser.error("%s is missing: build the project first" % exe)

    own_prefix = None
    prefix = os.environ.get("WINEPREFIX")
    if not prefix or not os.path.isfile(os.path.join(prefix, "test-ca", "ca.pem")):
        own_prefix = tempfile.mkdtemp(prefix="quorvalent-bench-wine-")
        prefix = own_prefix
        print("Making a Wine prefix with the test CA ...", flush=True)
        subprocess.run(["bash", os.path.join(SOURCE_DIR, "scripts", "wine-prefix.sh"), prefix],
                       env=wine_environment(prefix, build_dir), check=True,
                       stdout=subprocess.DEVNULL)
    env = wine_environment(prefix, build_dir)
    ca_dir = os.path.join(prefix, "test-ca")
    work = tempfile.mkdtemp(prefix="quorvalent-bench-")
    try:
        with ReleaseServer(work, ca_dir=ca_dir) as server:
            # One throw-away run, so Wine's first-start costs are not in the figures.
            run_installer_transfer(exe, server.http_base + "/generated/1024/warm",
                                   os.path.join(work, "warm.bin"), env)
            peaks = {}
            print("%-6s %8s %14s %14s %8s" % ("scheme", "body", "installer MB/s", "curl MB/s",
                                              "ratio"))
            for size_mib in [int(s) for s in args.sizes_mib.split(",")]:
                size = size_mib * MIB
                for scheme, base in (("http", server.http_base), ("https", server.https_base)):
                    url = "%s/generated/%d/package.zip" % (base, size)
                    target = os.path.join(work, "package.zip")
                    best_ours, best_curl = 0.0, 0.0
                    for _ in range(args.runs):
                        got, seconds, peak = run_installer_transfer(exe, url, target, env)
                        assert got == size, (got, size)
                        best_ours = max(best_ours, size / seconds / MIB)
                        peaks[(size_mib, scheme)] = max(peaks.get((size_mib, scheme), 0), peak)
                        os.remove(target)
                        got, seconds = run_curl(url, target, os.path.join(ca_dir, "ca.pem"))
                        assert got == size, (got, size)
                        best_curl = max(best_curl, size / seconds / MIB)
                        os.remove(target)
                    print("%-6s %5d MiB %14.1f %14.1f %8.2f" % (
                        scheme, size_mib, best_ours, best_curl, best_ours / best_curl),
                        flush=True)
            print()
            print("Peak working set of the installer's transfer (Windows process):")
            for (size_mib, scheme), peak in sorted(peaks.items()):
                print("  %-6s %5d MiB body: %7.1f MiB" % (scheme, size_mib, peak / MIB))
    finally:
        shutil.rmtree(work, ignore_errors=True)
        if own_prefix:
            subprocess.run(["wineserver", "-k"], env=env, check=False)
            shutil.rmtree(own_prefix, ignore_errors=True)


if __name__ == "__main__":
    main()
