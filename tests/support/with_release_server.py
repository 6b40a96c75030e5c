"""Runs a command while the loopback release server serves a folder, then stops the server.

    python3 -m tests.support.with_release_server [--root DIR] -- COMMAND [ARG...]

Without --root the server serves a fresh temporary folder that is removed afterwards. The
command finds the server in its environment:

    QUORVALENT_TEST_HTTP_BASE    http://127.0.0.1:<port>
    QUORVALENT_TEST_HTTPS_BASE   https://localhost:<port>
    QUORVALENT_TEST_SERVER_ROOT  the served folder as a Windows (Wine Z:) path, so that a test
                                 program under Wine can put files there
    QUORVALENT_TEST_TLS1_0_BASE  https://localhost:<port> of a server of the same folder that
    QUORVALENT_TEST_TLS1_1_BASE  speaks only TLS 1.0 (1.1)
    QUORVALENT_TEST_USER_ROOT_BASE  https://localhost:<port> of a server of the same folder whose
                                 certificate chains to a root only the user's store trusts

All ports are free ones picked by the system. The exit status is the command's.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

from tests.support.release_server import ReleaseServer, default_ca_dir
from tests.support.wine_harness import wine_env, windows_path


def main(argv=None):
    parser = argparse.ArgumentParser()
    parser.add_argument("--root")
    parser.add_argument("--verbose", action="store_true")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args(argv)
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("no command")

    root = args.root or tempfile.mkdtemp(prefix="quorvalent-release-")
    try:
        with ReleaseServer(root, verbose=args.verbose) as server, \
                ReleaseServer(root, tls_version="1.0") as tls1_0, \
                ReleaseServer(root, tls_version="1.1") as tls1_1, \
                ReleaseServer(root, ca_dir=os.path.join(default_ca_dir(), "user-root")) \
                as user_root:
            env = wine_env({
                "QUORVALENT_TEST_HTTP_BASE": server.http_base,
                "QUORVALENT_TEST_HTTPS_BASE": server.https_base,
                "QUORVALENT_TEST_SERVER_ROOT": windows_path(root),
                "QUORVALENT_TEST_TLS1_0_BASE": tls1_0.https_base,
                "QUORVALENT_TEST_TLS1_1_BASE": tls1_1.https_base,
                "QUORVALENT_TEST_USER_ROOT_BASE": user_root.https_base,
            })
            return subprocess.call(command, env=env, stdin=subprocess.DEVNULL)
    finally:
        if not args.root:
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
