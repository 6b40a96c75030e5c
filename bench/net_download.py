#!/usr/bin/env python3
"""Download throughput and memory of the installer's transfer, beside curl and a bare WinHTTP
read loop, on loopback.

    python3 bench/net_download.py [--build DIR] [--runs N] [--sizes-mib 16,256]

Starts the loopback release server (tests/support/release_server.py) on free ports and, for
each body size and for http and https, downloads the same generated body with the
installer's transfer (build/.../bench/net/net_download_bench.exe under Wine), with a bare
WinHTTP read loop (winhttp_read_loop.exe) and with curl, alternating, N runs each. Prints the
best throughput of each, the ratios, and the peak working set of both Windows processes for
each size, which must not grow with the body.

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
from tests.support import wine_harness as wh  # noqa: E402
from tests.support.wine_harness import windows_path  # noqa: E402

MIB = 1 << 20


def wine_environment(prefix, build_dir):
    env = dict(os.environ)
    env.update({"WINEPREFIX": prefix, "WINEDEBUG": "-all",
                "WINEDLLOVERRIDES": "mscoree=;mshtml=;winemenubuilder.exe=d",
                "QUORVALENT_BUILD_DIR": build_dir})
    env.pop("QUORVALENT_TEST_CA_DIR", None)
    return env


def run_windows_transfer(exe, url, target, env, attempts=None):
    """Runs a bench program that prints `bytes N seconds S peak_working_set P` on stderr."""
    extra = [str(attempts)] if attempts else []
    result = subprocess.run([wh.WINE, exe, url, windows_path(target)] + extra, env=env,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, check=False)
    fields = result.stderr.decode("utf-8", "replace").splitlines()[-1:]
    fields = fields[0].split() if fields else []
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


def measure(build_dir, prefix, runs=3, sizes_mib=(16, 256)):
    """Best throughput (MiB/s) and peak working set (bytes) of each client, for each body size
    and scheme: {(size_mib, scheme): {"installer"|"winhttp"|"curl": (mib_per_s, peak)}}.
    curl has no Windows working set; its peak is None. The clients alternate, run by run."""
    programs = {
        "installer": os.path.join(build_dir, "bench", "net", "net_download_bench.exe"),
        "winhttp": os.path.join(build_dir, "bench", "net", "winhttp_read_loop.exe"),
    }
    for exe in programs.values():
        if not os.path.isfile(exe):
            raise RuntimeError("%s is missing: build the project first" % exe)
    env = wine_environment(prefix, build_dir)
    ca_dir = os.path.join(prefix, "test-ca")
    work = tempfile.mkdtemp(prefix="quorvalent-bench-")
    figures = {}
    try:
        with ReleaseServer(work, ca_dir=ca_dir) as server:
            # One throw-away run each, so Wine's first-start costs are not in the figures.
            for exe in programs.values():
                run_windows_transfer(exe, server.http_base + "/generated/1024/warm",
                                     os.path.join(work, "warm.bin"), env)
            for size_mib in sizes_mib:
                size = size_mib * MIB
                for scheme, base in (("http", server.http_base), ("https", server.https_base)):
                    url = "%s/generated/%d/package.zip" % (base, size)
                    target = os.path.join(work, "package.zip")
                    best = {name: (0.0, 0) for name in ("installer", "winhttp", "curl")}
                    for _ in range(runs):
                        for name, exe in programs.items():
                            got, seconds, peak = run_windows_transfer(exe, url, target, env)
                            assert got == size, (name, got, size)
                            speed, top = best[name]
                            best[name] = (max(speed, size / seconds / MIB), max(top, peak))
                            os.remove(target)
                        got, seconds = run_curl(url, target, os.path.join(ca_dir, "ca.pem"))
                        assert got == size, ("curl", got, size)
                        best["curl"] = (max(best["curl"][0], size / seconds / MIB), None)
                        os.remove(target)
                    figures[(size_mib, scheme)] = best
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return figures


def measure_resume(build_dir, prefix, size_mib=64):
    """Bytes on the wire per byte of package for a package cut by the server at half and then
    fetched again by the installer's transfer: with a server that serves ranges, and with one
    that ignores them. Returns (resumed, ignored)."""
    exe = os.path.join(build_dir, "bench", "net", "net_download_bench.exe")
    env = wine_environment(prefix, build_dir)
    size = size_mib * MIB
    work = tempfile.mkdtemp(prefix="quorvalent-bench-")
    ratios = []
    try:
        with ReleaseServer(work, ca_dir=os.path.join(prefix, "test-ca")) as server:
            for n, faults in enumerate(("", "&ranges=ignore")):
                url = "%s/generated/%d/package.zip?cutonce=%d&run=%d%s" % (
                    server.https_base, size, size // 2, n, faults)
                target = os.path.join(work, "package.zip")
                before = server.body_bytes
                got, _, _ = run_windows_transfer(exe, url, target, env, attempts=2)
                assert got == size, (got, size)
                ratios.append((server.body_bytes - before) / size)
                os.remove(target)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return tuple(ratios)


def resume_rows(ratios):
    """The resume figures as a row of bench/run's table."""
    return [("64 MiB cut at half, resumed: bytes on the wire", "x package", ratios[0],
             "server ignoring ranges", ratios[1])]


def table_rows(figures):
    """The figures as rows of bench/run's table."""
    rows = []
    for (size_mib, scheme), best in sorted(figures.items()):
        if size_mib == max(s for s, _ in figures):
            label = "download %s %d MiB" % (scheme, size_mib)
            for against, name in (("curl", "curl"), ("bare WinHTTP read loop", "winhttp")):
                rows.append((label, "MiB/s", best["installer"][0], against, best[name][0]))
    for (size_mib, scheme), best in sorted(figures.items()):
        rows.append(("peak working set, %s %d MiB" % (scheme, size_mib), "MiB",
                     best["installer"][1] / MIB, "bare WinHTTP read loop", best["winhttp"][1] / MIB))
    return rows


def own_prefix_if_needed(build_dir):
    """WINEPREFIX when it already trusts the test CA, else a new temporary prefix (removed by
    the caller): returns (prefix, made_here)."""
    prefix = os.environ.get("WINEPREFIX")
    if prefix and os.path.isfile(os.path.join(prefix, "test-ca", "ca.pem")):
        return prefix, False
    prefix = tempfile.mkdtemp(prefix="quorvalent-bench-wine-")
    print("Making a Wine prefix with the test CA ...", flush=True)
    subprocess.run(["bash", os.path.join(SOURCE_DIR, "scripts", "wine-prefix.sh"), prefix],
                   env=wine_environment(prefix, build_dir), check=True, stdout=subprocess.DEVNULL)
    return prefix, True


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.environ.get("QUORVALENT_BUILD_DIR"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--sizes-mib", default="16,256")
    parser.add_argument("--resume", action="store_true",
                        help="also: a 64 MiB package cut at half, then resumed")
    args = parser.parse_args()
    if not args.build:
        parser.error("--build DIR or QUORVALENT_BUILD_DIR is needed")
    build_dir = os.path.abspath(args.build)
    prefix, made_here = own_prefix_if_needed(build_dir)
    try:
        figures = measure(build_dir, prefix, args.runs,
                          [int(s) for s in args.sizes_mib.split(",")])
        resumed, ignored = measure_resume(build_dir, prefix) if args.resume else (None, None)
    finally:
        if made_here:
            subprocess.run(["wineserver", "-k"], env=wine_environment(prefix, build_dir),
                           check=False)
            shutil.rmtree(prefix, ignore_errors=True)
    print("%-6s %8s %14s %14s %14s %9s %9s" % ("scheme", "body", "installer MB/s", "WinHTTP MB/s",
                                               "curl MB/s", "/WinHTTP", "/curl"))
    for (size_mib, scheme), best in sorted(figures.items()):
        ours, loop, curl = best["installer"][0], best["winhttp"][0], best["curl"][0]
        print("%-6s %5d MiB %14.1f %14.1f %14.1f %9.2f %9.2f" % (
            scheme, size_mib, ours, loop, curl, ours / loop, ours / curl))
    if resumed is not None:
        print("64 MiB cut at half, then fetched again: %.2f package sizes on the wire "
              "(%.2f from a server that ignores ranges)" % (resumed, ignored))
    print()
    print("Peak working set (Windows process): installer's transfer / bare WinHTTP loop")
    for (size_mib, scheme), best in sorted(figures.items()):
        print("  %-6s %5d MiB body: %7.1f MiB / %7.1f MiB" % (
            scheme, size_mib, best["installer"][1] / MIB, best["winhttp"][1] / MIB))


if __name__ == "__main__":
    main()
