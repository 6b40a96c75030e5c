"""A loopback release server for the installer's tests and demos: plain HTTP and HTTPS.

It serves the files under a root folder (GET /a/b.zip -> ROOT/a/b.zip) and, on request,
answers with a chosen fault. Faults are asked for in the query string, so a test states in
its URL what the server does:

    status=N        answer with status N (the body is still sent)
    length=none     no Content-Length; length=N announces N whatever the body is
    framing=close   when the announced length is not the body's: end the body by closing the
                    connection (default: chunked, which lets a body outrun its Content-Length)
    body=empty      send no body; body=notzip sends text instead of the file;
    body=user-agent sends the request's User-Agent header
    cut=N           send the first N body bytes of a full announcement, then close
    reset=N         send the first N body bytes, then reset the connection
    slow=MS         pause MS milliseconds before each piece of piece=BYTES (default 16384)
    first=N         apply the faults (and redirects) only to the first N requests for this
                    exact URL; later ones are served plainly (for retry tests)
    cutonce=N       like cut=N, for the first response to this exact URL only (redirects and
                    other faults stay); resetonce=N likewise
    validator=V     which validators the answer names the body with: etag (a strong ETag),
                    lastmod (Last-Modified), weak (a weak ETag), none; default etag and lastmod
    ranges=ignore   answer every request with the whole body, Range or not
    badrange=start|total  a 206 whose Content-Range (and body) starts one byte late, or names a
                    total one byte too large

Ranges: a request with "Range: bytes=S-" (and an If-Range that matches the ETag or the
Last-Modified date, if it has one) is answered 206 with the body from byte S and
"Content-Range: bytes S-<last>/<size>"; an If-Range that does not match gets 200 and the whole
body; S at or past the end gets 416. A cut or a reset counts in bytes of the whole body: cut=N
on a range from S sends the bytes from S up to N. ReleaseServer.body_bytes counts every body
byte sent.

A client whose URLs are fixed (the installer's release paths) gets faults set on the server
instead: server.faults["/a/b.zip"] = "cut=100" serves requests for that path that carry no
query of their own as if they had asked for "?cut=100".

Generated bodies: /generated/<bytes>/<name> answers <bytes> pseudo-random bytes without
touching the disk. Redirects: /redirect/http/<rest> and /redirect/https/<rest> answer 302
with the same path and query on the server's http or https side (redirect=301|307 changes
the status; location=TEXT sends TEXT as the Location instead, byte for byte; hops=N leads
through N redirects in a row).

tls_version="1.0" or "1.1" makes the HTTPS side speak only that old protocol (and the weak
ciphers it needs), for tests of a client that must refuse it; by default it speaks TLS 1.2 and
later.

HTTPS uses the test certificate authority that scripts/prefix.d/20-trust-test-ca.sh makes and
trusts inside the test Wine prefix: the folder QUORVALENT_TEST_CA_DIR, by default
$WINEPREFIX/test-ca, holding server.pem and server.key (a certificate for localhost and
127.0.0.1). Without that folder the server refuses to start HTTPS; https_port=None (or no
--https-port) serves plain HTTP only.

From a test:
    with ReleaseServer(root) as server:
        server.http_base, server.https_base    # "http://127.0.0.1:P", "https://localhost:Q"

In a child process: ServerProcess(root, https_port=N) has the same bases.

From a shell (a demo):
    python3 -m tests.support.release_server --root DIR --https-port 47443 [--http-port N]
It prints "http <base>" and "https <base>" lines once it listens, then serves until killed.
"""

import argparse
import http.server
import os
import ssl
import subprocess
import sys
import threading
import time

if not __package__:
    # Run by path rather than with -m: the repository's root on the path, so that the server's
    # own modules import as they do under -m.
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(
        os.path.abspath(__file__)))))

from tests.support.release_handler import Handler  # noqa: E402

LEGACY_TLS = {"1.0": ssl.TLSVersion.TLSv1, "1.1": ssl.TLSVersion.TLSv1_1}


def default_ca_dir():
    explicit = os.environ.get("QUORVALENT_TEST_CA_DIR")
    if explicit:
        return explicit
    prefix = os.environ.get("WINEPREFIX")
    return os.path.join(prefix, "test-ca") if prefix else None


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, owner, scheme, context=None):
        self.owner = owner
        self.scheme = scheme
        self.context = context
        super().__init__(address, Handler)

    def get_request(self):
        sock, addr = super().get_request()
        if self.context is not None:
            sock = self.context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False)
        return sock, addr

    def handle_error(self, request, client_address):
        if self.owner.verbose:
            super().handle_error(request, client_address)


class ReleaseServer:
    """Serves root over http on 127.0.0.1 and, with a test CA, https for localhost.

    Port 0 picks a free port; https_port=None leaves HTTPS off. on_request, if given, is called
    with each request's path before it is answered, on the request's own thread: a test can
    hold a download there until it has set the scene for what follows."""

    def __init__(self, root, http_port=0, https_port=0, ca_dir=None, verbose=False,
                 on_request=None, tls_version=None):
        self.root = os.path.abspath(root)
        self.verbose = verbose
        self.on_request = on_request
        self._counts = {}
        self.body_bytes = 0  # body bytes sent, all requests together
        self.faults = {}  # URL path -> query, for requests without a query
        self._lock = threading.Lock()
        self._threads = []
        self._servers = [_Server(("127.0.0.1", http_port), self, "http")]
        self.http_base = "http://127.0.0.1:%d" % self._servers[0].server_address[1]
        self.https_base = None
        ca_dir = ca_dir or default_ca_dir()
        if https_port is not None:
            if not ca_dir or not os.path.isfile(os.path.join(ca_dir, "server.pem")):
                raise RuntimeError("no test certificate in %r: run scripts/wine-prefix.sh, or "
                                   "set QUORVALENT_TEST_CA_DIR" % ca_dir)
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.minimum_version = ssl.TLSVersion.TLSv1_2
            if tls_version is not None:
                old = LEGACY_TLS[tls_version]
                context.set_ciphers("DEFAULT:@SECLEVEL=0")
                context.minimum_version = context.maximum_version = old
            context.load_cert_chain(os.path.join(ca_dir, "server.pem"),
                                    os.path.join(ca_dir, "server.key"))
            server = _Server(("127.0.0.1", https_port), self, "https", context)
            self._servers.append(server)
            self.https_base = "https://localhost:%d" % server.server_address[1]

    def count_body_bytes(self, count):
        with self._lock:
            self.body_bytes += count

    def count_request(self, scheme, target):
        with self._lock:
            key = (scheme, target)
            self._counts[key] = self._counts.get(key, 0) + 1
            return self._counts[key]

    def start(self):
        for server in self._servers:
            thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1},
                                      daemon=True)
            thread.start()
            self._threads.append(thread)
        return self

    def stop(self):
        for server in self._servers:
            server.shutdown()
            server.server_close()
        for thread in self._threads:
            thread.join()
        self._threads = []

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


class ServerProcess:
    """The server in a child process, for tests that must not share the caller's threads.

        with ServerProcess(root, https_port=0) as server:
            server.http_base, server.https_base
    """

    def __init__(self, root, http_port=0, https_port=0, ca_dir=None):
        command = [sys.executable, "-m", "tests.support.release_server", "--root", root,
                   "--http-port", str(http_port)]
        if https_port is not None:
            command += ["--https-port", str(https_port)]
        if ca_dir:
            command += ["--ca-dir", ca_dir]
        source_dir = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        self._process = subprocess.Popen(command, cwd=source_dir, stdin=subprocess.DEVNULL,
                                         stdout=subprocess.PIPE, text=True)
        self.http_base = self.https_base = None
        try:
            for _ in range(1 if https_port is None else 2):
                line = self._process.stdout.readline().split()
                if len(line) != 2:
                    raise RuntimeError("the release server did not start")
                setattr(self, line[0] + "_base", line[1])
        except BaseException:
            self.stop()
            raise

    def stop(self):
        if self._process.poll() is None:
            self._process.terminate()
        self._process.wait()
        self._process.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--root", required=True, help="folder whose files are served")
    parser.add_argument("--http-port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--https-port", type=int, default=None,
                        help="serve HTTPS on this port (0 picks a free one)")
    parser.add_argument("--ca-dir", help="test CA folder (default $WINEPREFIX/test-ca)")
    parser.add_argument("--verbose", action="store_true", help="log every request")
    args = parser.parse_args(argv)
    server = ReleaseServer(args.root, args.http_port, args.https_port, args.ca_dir,
                           args.verbose).start()
    print("http", server.http_base, flush=True)
    if server.https_base:
        print("https", server.https_base, flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass
    finally:
        server.stop()


if __name__ == "__main__":
    main()
