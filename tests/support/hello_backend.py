"""A backend for the Windows service tests: answers every GET with
"hello from the backend", on a port it picks itself and writes into the file
named by its argument (renamed into place, so a reader never sees half)."""
import http.server
import os
import sys


class Hello(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = b"hello from the backend\n"
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Hello)
with open(sys.argv[1] + ".tmp", "w") as f:
    f.write(str(server.server_address[1]))
os.rename(sys.argv[1] + ".tmp", sys.argv[1])
server.serve_forever()
