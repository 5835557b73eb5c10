"""The Python module against the real library: types, errors and a round
trip through the running proxy on 127.0.0.1.

Environment (set by CMake): VELKOR_PROXY_LIBRARY, the library file;
PYTHONPATH holding the module's folder.
"""

import ctypes.util
import http.server
import json
import os
import socket
import tempfile
import threading
import unittest
import urllib.request

import velkor_proxy


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Backend(http.server.BaseHTTPRequestHandler):
    forwarded_for = []

    def do_GET(self):
        Backend.forwarded_for.append(self.headers.get("X-Forwarded-For"))
        body = ("you asked for %s\n" % self.path).encode()
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


class PythonModuleTest(unittest.TestCase):
    def setUp(self):
        self.lib = velkor_proxy.load()
        self.addCleanup(self.lib.stop)

    def test_version_and_idle_state(self):
        self.assertEqual(self.lib.version(), "1.0.0")
        self.assertFalse(self.lib.status())
        self.assertIsInstance(self.lib.runtime_status(), dict)

    def test_refused_start_raises_with_the_library_message(self):
        with self.assertRaises(velkor_proxy.ProxyError) as caught:
            self.lib.start({"routes": []})
        self.assertEqual(str(caught.exception), "listen_port required")
        self.assertEqual(self.lib.last_error(), "listen_port required")
        self.assertFalse(self.lib.status())
        report = self.lib.runtime_status()
        self.assertEqual(report["running"], 0)
        self.assertEqual(report["last_error"], "listen_port required")

    def test_config_may_be_json_text_and_nothing_else(self):
        text = json.dumps({"listen_port": 0, "routes": [{"target_port": 9}]})
        with velkor_proxy.Proxy(text) as proxy:
            self.assertTrue(proxy.status())
            with self.assertRaises(velkor_proxy.ProxyError) as caught:
                self.lib.start(text)
            self.assertEqual(str(caught.exception), "already running")
            self.assertTrue(proxy.status())
        with self.assertRaises(TypeError):
            self.lib.start(42)

    def test_round_trip_through_the_proxy(self):
        server = http.server.HTTPServer(("127.0.0.1", 0), Backend)
        thread = threading.Thread(target=server.serve_forever, daemon=True)
        thread.start()
        self.addCleanup(thread.join, 5)
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)

        port = free_port()
        config = {"listen_port": port,
                  "routes": [{"host": "*", "path_prefix": "/v1",
                              "target_port": server.server_address[1]}]}
        with velkor_proxy.Proxy(config) as proxy:
            self.assertTrue(proxy.status())
            url = "http://127.0.0.1:%d/v1/items?id=7" % port
            with urllib.request.urlopen(url, timeout=10) as r:
                self.assertEqual(r.read(), b"you asked for /v1/items?id=7\n")
            self.assertEqual(Backend.forwarded_for, ["127.0.0.1"])
            report = proxy.runtime_status()
            self.assertEqual(report["running"], 1)
            self.assertEqual(report["listen_port"], port)
            self.assertGreaterEqual(report["total_connections"], 1)
            route = report["routes"][0]
            self.assertEqual((route["path_prefix"], route["hits"], route["errors"]), ("/v1", 1, 0))
        self.assertFalse(self.lib.status())
        self.assertEqual(self.lib.runtime_status()["routes"][0]["hits"], 1)
        # Stopped means nothing listens on the port any more.
        with socket.socket() as s:
            with self.assertRaises(ConnectionRefusedError):
                s.connect(("127.0.0.1", port))

    def test_an_exception_in_the_block_still_stops(self):
        with self.assertRaises(RuntimeError):
            with velkor_proxy.Proxy({"listen_port": 0, "routes": [{"target_port": 9}]}):
                raise RuntimeError("boom")
        self.assertFalse(self.lib.status())


class LibraryLookupTest(unittest.TestCase):
    def test_order(self):
        system = ctypes.util.find_library("velkor-proxy") or velkor_proxy.LIBRARY_NAME
        with tempfile.TemporaryDirectory() as here:
            beside = os.path.join(here, velkor_proxy.LIBRARY_NAME)
            open(beside, "w").close()
            empty = tempfile.mkdtemp(dir=here)
            for what, environ, folder, want in [
                    ("environment variable first", {velkor_proxy.LIBRARY_ENV: "/x/l.so"}, here, "/x/l.so"),
                    ("beside the module next", {velkor_proxy.LIBRARY_ENV: ""}, here, beside),
                    ("system search last", {}, empty, system)]:
                with self.subTest(what):
                    self.assertEqual(velkor_proxy.library_path(environ, folder), want)


if __name__ == "__main__":
    unittest.main()
