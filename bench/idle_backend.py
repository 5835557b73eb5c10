#!/usr/bin/env python3
"""A small keep-alive HTTP/1.1 backend on 127.0.0.1:PORT for bench/idle_cpu.sh.

Answers every GET with a short fixed text and keeps the connection open (one
thread per connection, blocked in its read while idle, so it costs nothing
while the proxy's connections idle). Ends by itself after LIFETIME seconds
(default 3600), or on SIGTERM/SIGINT.

    idle_backend.py PORT [LIFETIME]
"""
import http.server
import signal
import sys
import threading

BODY = b"hello from the idle backend\n"


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"   # keep-alive by default

    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(BODY)))
        self.end_headers()
        self.wfile.write(BODY)

    def log_message(self, *args):
        pass


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 1024


def main():
    port = int(sys.argv[1])
    lifetime = float(sys.argv[2]) if len(sys.argv) > 2 else 3600.0
    server = Server(("127.0.0.1", port), Handler)
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    signal.signal(signal.SIGINT, lambda *_: done.set())
    threading.Thread(target=server.serve_forever, daemon=True).start()
    done.wait(lifetime)
    server.shutdown()
    server.server_close()


if __name__ == "__main__":
    main()
