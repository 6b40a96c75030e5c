"""The loopback release server's answer to one request: the file, generated body or redirect the
path names, with the faults, ranges and validators its query (or the server's faults for the
path) asks for. release_server.py describes the queries."""

import http.server
import os
import posixpath
import socket
import ssl
import struct
import sys
import time
import urllib.parse

from tests.support.release_bodies import CHUNK, NOT_A_ZIP, Body


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "QuorvalentReleaseServer/1"

    def log_message(self, fmt, *args):
        if self.server.owner.verbose:
            sys.stderr.write("[%s] %s\n" % (self.server.scheme, fmt % args))

    def do_GET(self):
        owner = self.server.owner
        url = urllib.parse.urlsplit(self.path)
        query_text = url.query or owner.faults.get(urllib.parse.unquote(url.path), "")
        query = dict(urllib.parse.parse_qsl(query_text, keep_blank_values=True))
        active = owner.count_request(self.server.scheme, self.path) <= int(
            query.get("first", "1000000000"))
        once = {fault: query[fault + "once"] for fault in ("cut", "reset")
                if fault + "once" in query and owner.count_request(fault, self.path) == 1}
        path = urllib.parse.unquote(url.path)
        if owner.on_request is not None:
            owner.on_request(path)

        if path.startswith("/redirect/"):
            _, _, scheme, rest = path.split("/", 3)
            if active and scheme in ("http", "https"):
                base = owner.http_base if scheme == "http" else owner.https_base
                location = base + "/" + urllib.parse.quote(rest)
                if int(query.get("hops", "1")) > 1:
                    query["hops"] = str(int(query["hops"]) - 1)
                    location = base + "/redirect/" + scheme + "/" + urllib.parse.quote(rest)
                    location += "?" + urllib.parse.urlencode(query)
                elif url.query:
                    location += "?" + url.query
                location = query.get("location", location)
                self.send_response(int(query.get("redirect", "302")))
                self.send_header("Location", location)
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            path = "/" + rest

        body = self._body_for(path, query if active else {})
        if body is None:
            self._send_simple(404, b"Not found\n")
            return
        if not active:
            query = {}
        query.update(once)
        self._send_body(int(query.get("status", "200")), body, query)

    def _range_start(self, body, query):
        """Where the answer's body starts: 0 for the whole body, else the start that Range
        asks for (None: a range this server cannot serve)."""
        asked = self.headers.get("Range")
        if asked is None or query.get("ranges") == "ignore":
            return 0
        if_range = self.headers.get("If-Range")
        if if_range is not None and if_range not in self._validators(body, query).values():
            return 0
        if not asked.startswith("bytes=") or not asked.endswith("-") or \
                not asked[6:-1].isdigit() or int(asked[6:-1]) >= body.size:
            return None
        return int(asked[6:-1])

    @staticmethod
    def _validators(body, query):
        kind = query.get("validator", "both")
        names = {}
        if kind in ("etag", "both"):
            names["ETag"] = body.etag
        if kind == "weak":
            names["ETag"] = "W/" + body.etag
        if kind in ("lastmod", "both"):
            names["Last-Modified"] = body.last_modified
        return names

    def _body_for(self, path, query):
        kind = query.get("body")
        if kind == "empty":
            return Body.of_bytes(b"")
        if kind == "notzip":
            return Body.of_bytes(NOT_A_ZIP)
        if kind == "user-agent":
            return Body.of_bytes(self.headers.get("User-Agent", "").encode("utf-8"))
        parts = [p for p in posixpath.normpath(path).split("/") if p]
        if len(parts) >= 2 and parts[0] == "generated" and parts[1].isdigit():
            return Body.generated(int(parts[1]))
        if any(p in ("..", ".") for p in parts):
            return None
        local = os.path.join(self.server.owner.root, *parts)
        if not parts or not os.path.isfile(local):
            return None
        return Body.of_file(local)

    def _send_simple(self, status, data):
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def _send_body(self, status, body, query):
        start = self._range_start(body, query)
        if start is None:
            self.send_response(416)
            self.send_header("Content-Range", "bytes */%d" % body.size)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        bad = query.get("badrange")
        if start > 0 and bad == "start":
            start += 1
        size = body.size - start
        announced = query.get("length", str(size))
        cut = query.get("cut")
        reset = query.get("reset")
        limit = body.size
        if cut is not None:
            limit = min(limit, int(cut))
        if reset is not None:
            limit = min(limit, int(reset))
        exact = announced != "none" and int(announced) == size
        chunked = not exact and query.get("framing", "chunked") == "chunked" \
            and cut is None and reset is None
        delay = int(query.get("slow", "0")) / 1000.0
        piece = int(query.get("piece", "16384")) if delay else CHUNK

        self.send_response(206 if start > 0 else status)
        self.send_header("Content-Type", "application/octet-stream")
        for name, value in self._validators(body, query).items():
            self.send_header(name, value)
        if start > 0:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (
                start, body.size - 1, body.size + (1 if bad == "total" else 0)))
        if announced != "none":
            self.send_header("Content-Length", announced)
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        elif not exact or cut is not None or reset is not None:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        self.wfile.flush()

        try:
            for data in body.pieces(start, limit, piece):
                self.server.owner.count_body_bytes(len(data))
                if delay:
                    time.sleep(delay)
                if chunked:
                    self.wfile.write(b"%x\r\n" % len(data) + data + b"\r\n")
                else:
                    self.wfile.write(data)
                if delay:
                    self.wfile.flush()
            if chunked:
                self.wfile.write(b"0\r\n\r\n")
            self.wfile.flush()
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            self.close_connection = True
            return
        if reset is not None:
            self._reset_connection()

    def _reset_connection(self):
        self.close_connection = True
        # A zero linger time makes close() send RST instead of FIN.
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.connection.close()
