"""A loopback proxy that only tunnels (CONNECT) and records each target, so a test can tell
whether a download went through it.

    with ConnectProxy(upstream=None) as proxy:
        proxy.address      # "127.0.0.1:<port>"
        proxy.targets      # the CONNECT targets so far ("localhost:443"), in order

With upstream=(host, port) every tunnel leads there, whatever its target.
"""

import socket
import socketserver
import threading


def _relay(source, target):
    try:
        while data := source.recv(65536):
            target.sendall(data)
        target.shutdown(socket.SHUT_WR)
    except OSError:
        pass


class _Tunnel(socketserver.StreamRequestHandler):
    def handle(self):
        method, target, _ = self.rfile.readline().decode("latin-1").split(" ", 2)
        while self.rfile.readline().strip():
            pass  # the request's headers
        self.server.targets.append(target)
        host, _, port = target.rpartition(":")
        address = self.server.upstream or (host, int(port))
        with socket.create_connection(address, timeout=30) as upstream:
            self.wfile.write(b"HTTP/1.1 200 Connection established\r\n\r\n")
            back = threading.Thread(target=_relay, args=(upstream, self.connection))
            back.start()
            _relay(self.connection, upstream)
            back.join()


class ConnectProxy(socketserver.ThreadingTCPServer):
    daemon_threads = True

    def __init__(self, upstream=None):
        super().__init__(("127.0.0.1", 0), _Tunnel)
        self.upstream = upstream
        self.targets = []
        self.address = "127.0.0.1:%d" % self.server_address[1]

    def __enter__(self):
        threading.Thread(target=self.serve_forever, kwargs={"poll_interval": 0.1},
                         daemon=True).start()
        return self

    def __exit__(self, *exc):
        self.shutdown()
        self.server_close()
