"""The velkor-proxy program, driven as a user drives it: real processes,
real curl clients, signals. Ports are picked free at run time on 127.0.0.1.

Environment (set by CMake): VELKOR_PROXY_BIN, the program; VELKOR_SOURCE_DIR,
the source tree (for the shipped example configurations).
"""

import http.server
import json
import os
import pty
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request

BIN = os.environ.get("VELKOR_PROXY_BIN", "velkor-proxy")
SOURCE_DIR = os.environ.get("VELKOR_SOURCE_DIR", os.path.join(os.path.dirname(__file__), ".."))

# Stop waits up to about 5 s for open connections; allow a margin on a busy machine.
STOP_BOUND = 8.0
WAIT = 10.0


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def assert_nothing_listens(port):
    """Connecting is refused: no socket listens on the port any more. (A bind
    test would trip over the TIME_WAIT entries that served connections leave.)"""
    with socket.socket() as s:
        s.settimeout(5)
        try:
            s.connect(("127.0.0.1", port))
        except ConnectionRefusedError:
            return
    raise AssertionError("something still listens on port %d" % port)


def curl(*args):
    """Runs curl; returns (exit code, stdout as text)."""
    r = subprocess.run(["curl", "-s", "--max-time", "8", *args],
                       capture_output=True, text=True, timeout=15)
    return r.returncode, r.stdout


class Program:
    """One run of the program with its output collected line by line."""

    def __init__(self, *args, env=None, stdin=subprocess.DEVNULL):
        # No terminal on stdin by default, as under a supervisor.
        self.proc = subprocess.Popen([BIN, *args], stdin=stdin, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, env=env)
        self.out, self.err = [], []
        self._cond = threading.Condition()
        self._readers = [threading.Thread(target=self._read, args=(s, l), daemon=True)
                         for s, l in ((self.proc.stdout, self.out), (self.proc.stderr, self.err))]
        for t in self._readers:
            t.start()

    def _read(self, stream, lines):
        for line in stream:
            with self._cond:
                lines.append(line.rstrip("\n"))
                self._cond.notify_all()
        with self._cond:
            self._cond.notify_all()

    def wait_for_line(self, pattern, stream="out", timeout=WAIT):
        """The first line of stdout (or stderr) matching the regex; fails the
        test when none comes within the time-out or the program ends."""
        lines = self.out if stream == "out" else self.err
        rx = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for line in lines:
                    if rx.search(line):
                        return line
                left = deadline - time.monotonic()
                if left <= 0 or (self.proc.poll() is not None
                                 and not any(t.is_alive() for t in self._readers)):
                    raise AssertionError("no line matching %r; stdout=%r stderr=%r"
                                         % (pattern, self.out[-5:], self.err[-5:]))
                self._cond.wait(min(left, 0.2))

    def stop(self, sig=signal.SIGINT):
        """Sends sig and returns (exit code, seconds until the program ended)."""
        started = time.monotonic()
        self.proc.send_signal(sig)
        try:
            code = self.proc.wait(timeout=STOP_BOUND)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise AssertionError("program did not stop within %.0f s" % STOP_BOUND)
        for t in self._readers:
            t.join(timeout=5)
        return code, time.monotonic() - started

    def finish(self, timeout=WAIT):
        """Waits for a program that ends by itself; returns its exit code."""
        code = self.proc.wait(timeout=timeout)
        for t in self._readers:
            t.join(timeout=5)
        return code

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for s in (self.proc.stdout, self.proc.stderr):
            s.close()


def run(*args, timeout=WAIT):
    r = subprocess.run([BIN, *args], capture_output=True, text=True, timeout=timeout)
    return r.returncode, r.stdout, r.stderr


class TempDirCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="velkor-host-test-")
        self.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)

    def write(self, name, text):
        path = os.path.join(self.tmp, name)
        with open(path, "w") as f:
            f.write(text if isinstance(text, str) else json.dumps(text))
        return path

    def start(self, *args, env=None, stdin=subprocess.DEVNULL):
        p = Program(*args, env=env, stdin=stdin)
        self.addCleanup(p.close)
        return p

    def make_cert(self):
        cert, key = os.path.join(self.tmp, "c.pem"), os.path.join(self.tmp, "k.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2",
                        "-subj", "/CN=localhost", "-keyout", key, "-out", cert],
                       check=True, capture_output=True, timeout=30)
        return cert, key

    def serve_backend(self):
        """A RecordingBackend on a free loopback port, shut down at cleanup."""
        backend = http.server.HTTPServer(("127.0.0.1", 0), RecordingBackend)
        thread = threading.Thread(target=backend.serve_forever, daemon=True)
        thread.start()
        self.addCleanup(thread.join, 5)
        self.addCleanup(backend.server_close)
        self.addCleanup(backend.shutdown)
        return backend.server_address[1]


class DemoTest(TempDirCase):
    def demo_env(self):
        env = dict(os.environ)
        env["XDG_CACHE_HOME"] = self.tmp
        return env

    def test_serves_both_routes_redirects_and_stops_on_sigint(self):
        port, redirect = free_port(), free_port()
        p = self.start("--demo", "--port", str(port), "--redirect-port", str(redirect),
                       "--status-interval", "0.2", env=self.demo_env())
        p.wait_for_line(r"curl -k https://localhost:%d/api/hello" % port)
        p.wait_for_line(r"^\d\d:\d\d:\d\d running HTTPS :%d" % port)

        base = "https://127.0.0.1:%d" % port
        code, body = curl("-k", base + "/api/hello")
        self.assertEqual(code, 0)
        self.assertIn('demo backend "api"', body)
        self.assertIn("request: GET /api/hello HTTP/1.1", body)
        self.assertIn("X-Forwarded-Proto: https", body)
        self.assertIn("X-Forwarded-For: 127.0.0.1", body)

        code, body = curl("-k", base + "/index.html")
        self.assertEqual(code, 0)
        self.assertIn('demo backend "web"', body)

        code, body = curl("-k", "-w", "%{http_code}", base + "/offline")
        self.assertEqual(body, "backend connection failed\n502")

        code, head = curl("-i", "http://127.0.0.1:%d/api/hello?x=1" % redirect)
        self.assertIn("301 Moved Permanently", head)
        self.assertIn("Location: https://127.0.0.1:%d/api/hello?x=1" % port, head)

        # The view counts what just happened, per route.
        p.wait_for_line(r"\* /api -> 127\.0\.0\.1:\d+ hits 1 errors 0; "
                        r"\(any\) / -> 127\.0\.0\.1:\d+ hits 1 errors 0; "
                        r"\(any\) /offline -> 127\.0\.0\.1:\d+ hits 0 errors 1")

        code, took = p.stop(signal.SIGINT)
        self.assertEqual(code, 0, p.err)
        self.assertLess(took, STOP_BOUND)
        # Not an error: for a log, beside the status lines on stdout.
        p.wait_for_line(r"^velkor-proxy: stopped$")
        p.wait_for_line(r"stopped HTTPS")
        assert_nothing_listens(port)
        assert_nothing_listens(redirect)

    def test_json_mode_reuses_the_certificate_and_stops_on_sigterm(self):
        env = self.demo_env()
        port = free_port()
        first = self.start("--demo", "--port", str(port), "--redirect-port", "0",
                           "--status-interval", "0.2", "--json", env=env)
        first.wait_for_line(r"made now", stream="err")
        self.assertEqual(first.stop(signal.SIGTERM)[0], 0)
        cert = os.path.join(self.tmp, "velkor-proxy", "localhost-cert.pem")
        made = os.stat(cert).st_mtime_ns

        p = self.start("--demo", "--port", str(port), "--redirect-port", "0",
                       "--status-interval", "0.2", "--json", env=env)
        p.wait_for_line(r"self-signed certificate from /", stream="err")
        line = p.wait_for_line(r'^\{"running":1')
        report = json.loads(line)
        self.assertEqual(report["tls"], 1)
        self.assertEqual(report["listen_port"], port)
        self.assertEqual(report["redirect_port"], 0)
        self.assertEqual([r["path_prefix"] for r in report["routes"]], ["/api", "/", "/offline"])
        code, body = curl("-k", "https://127.0.0.1:%d/api/x" % port)
        self.assertIn('demo backend "api"', body)
        self.assertEqual(p.stop(signal.SIGTERM)[0], 0)
        # stdout held nothing but report lines.
        for out_line in p.out:
            json.loads(out_line)
        self.assertEqual(os.stat(cert).st_mtime_ns, made)

    def test_busy_port_fails_with_the_library_message(self):
        with socket.socket() as holder:
            holder.bind(("127.0.0.1", 0))
            holder.listen()
            busy = holder.getsockname()[1]
            p = self.start("--demo", "--port", str(busy), "--redirect-port",
                           str(free_port()), env=self.demo_env())
            self.assertEqual(p.finish(), 1)
        self.assertIn("velkor-proxy: cannot start: bind port %d failed (in use?)" % busy, p.err)
        self.assertEqual(p.out, [])


class CheckTest(TempDirCase):
    def test_accepts_a_good_document_and_leaves_its_port_free(self):
        port = free_port()
        path = self.write("good.json", {"listen_port": port,
                                        "routes": [{"path_prefix": "/", "target_port": 9}]})
        code, out, err = run(path, "--check")
        self.assertEqual((code, err), (0, ""))
        self.assertIn("accepted", out)
        assert_nothing_listens(port)

    def test_rejections_carry_the_library_message(self):
        cases = [
            ("", "config not a JSON object"),
            ("[1]", "config not a JSON object"),
            ({}, "listen_port required"),
            ({"listen_port": 0, "tls_cert": "c.pem"}, "tls_key required when tls_cert is set"),
            ({"listen_port": 0}, "routes array required"),
            ({"listen_port": 0, "routes": [1, "x"]}, "at least one route required"),
            ({"listen_port": 0, "routes": [{"target_port": 1}, {"path_prefix": "/b"}]},
             "route 1: target_port required"),
            ({"listen_port": 0, "tls_cert": "/nonexistent/c.pem", "tls_key": "k.pem",
              "routes": [{"target_port": 1}]},
             "cannot load certificate: /nonexistent/c.pem (-0x3e00)"),
        ]
        for i, (doc, message) in enumerate(cases):
            with self.subTest(message=message, doc=doc):
                path = self.write("bad%d.json" % i, doc)
                code, out, err = run("--check", path)
                self.assertEqual(code, 1)
                self.assertEqual(out, "")
                self.assertEqual(err, "velkor-proxy: %s rejected: %s\n" % (path, message))

    def test_a_busy_port_is_reported(self):
        with socket.socket() as holder:
            holder.bind(("127.0.0.1", 0))
            holder.listen()
            busy = holder.getsockname()[1]
            path = self.write("busy.json", {"listen_port": busy,
                                            "routes": [{"target_port": 1}]})
            code, _, err = run(path, "--check")
        self.assertEqual(code, 1)
        self.assertTrue(err.endswith("bind port %d failed (in use?)\n" % busy), err)

    def test_shipped_example_configurations_are_accepted(self):
        cert, key = self.make_cert()
        folder = os.path.join(SOURCE_DIR, "examples", "config")
        names = sorted(n for n in os.listdir(folder) if n.endswith(".json"))
        self.assertTrue(names)
        for name in names:
            with self.subTest(example=name):
                with open(os.path.join(folder, name)) as f:
                    doc = json.load(f)
                # Same document on ports and files of this test.
                doc["listen_port"] = free_port()
                if "http_redirect_port" in doc:
                    doc["http_redirect_port"] = free_port()
                if "tls_cert" in doc:
                    doc["tls_cert"], doc["tls_key"] = cert, key
                code, out, err = run(self.write(name, doc), "--check")
                self.assertEqual(code, 0, err)

    def test_usage_errors_are_one_line_and_exit_2(self):
        for args in (["--bogus"], [], ["a.json", "b.json"], ["--demo", "--port", "x"],
                     ["a.json", "--status-interval", "-1"]):
            with self.subTest(args=args):
                code, out, err = run(*args)
                self.assertEqual(code, 2)
                self.assertEqual(out, "")
                self.assertEqual(err.count("\n"), 1, err)
                self.assertTrue(err.startswith("velkor-proxy: "), err)

    def test_unreadable_file_exits_1(self):
        code, _, err = run(os.path.join(self.tmp, "missing.json"))
        self.assertEqual(code, 1)
        self.assertIn("cannot read", err)


class RecordingBackend(http.server.BaseHTTPRequestHandler):
    seen = []

    def do_GET(self):
        RecordingBackend.seen.append((self.path, self.headers.get("X-Forwarded-Proto")))
        body = b"backend says hi\n"
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


class ServeTest(TempDirCase):
    def test_serves_a_configuration_and_shows_counters_until_sigterm(self):
        RecordingBackend.seen = []
        port = free_port()
        path = self.write("plain.json", {
            "listen_port": port,
            "routes": [{"host": "*", "path_prefix": "/app",
                        "target_port": self.serve_backend()}]})
        p = self.start(path, "--status-interval", "0.2")
        p.wait_for_line(r"running HTTP :%d" % port)
        code, body = curl("http://127.0.0.1:%d/app/page" % port)
        self.assertEqual((code, body), (0, "backend says hi\n"))
        self.assertEqual(RecordingBackend.seen, [("/app/page", "http")])
        p.wait_for_line(r"/app -> 127\.0\.0\.1:\d+ hits 1 errors 0")
        code, took = p.stop(signal.SIGTERM)
        self.assertEqual(code, 0)
        self.assertLess(took, STOP_BOUND)

    def test_start_failure_exits_1_with_the_message(self):
        path = self.write("bad.json", {"listen_port": 0, "routes": []})
        code, out, err = run(path)
        self.assertEqual(code, 1)
        self.assertEqual(err, "velkor-proxy: cannot start: at least one route required\n")


def scrape(port, path):
    """GET http://127.0.0.1:port/path; returns (status, content type, body)."""
    try:
        with urllib.request.urlopen("http://127.0.0.1:%d%s" % (port, path), timeout=5) as r:
            return r.status, r.headers["Content-Type"], r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.headers["Content-Type"], e.read().decode()


def samples(page):
    """The metrics page's samples as {name{labels}: value}."""
    return {line.rsplit(" ", 1)[0]: float(line.rsplit(" ", 1)[1])
            for line in page.splitlines() if line and not line.startswith("#")}


class MetricsTest(TempDirCase):
    def test_scrape_after_traffic_matches_the_status_report(self):
        port, mport, down = free_port(), free_port(), free_port()
        backend = self.serve_backend()
        path = self.write("m.json", {"listen_port": port, "routes": [
            {"host": "*", "path_prefix": "/app", "target_port": backend},
            {"path_prefix": "/down", "target_port": down}]})
        p = self.start(path, "--metrics", str(mport))
        p.wait_for_line(r"running HTTP :%d" % port)
        for url in ["/app/a", "/app/b", "/app/c", "/down/x", "/down/y"]:
            curl("http://127.0.0.1:%d%s" % (port, url))

        deadline = time.monotonic() + WAIT
        while True:  # the proxy closes its side of the last connection on its own time
            status, ctype, body = scrape(mport, "/status")
            report = json.loads(body)
            if report["active_connections"] == 0 or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        self.assertEqual((status, ctype), (200, "application/json"))
        status, ctype, page = scrape(mport, "/metrics")
        self.assertEqual((status, ctype), (200, "text/plain; version=0.0.4; charset=utf-8"))
        got = samples(page)
        self.assertEqual(got["velkor_proxy_running"], 1)
        self.assertEqual(got["velkor_proxy_connections_active"], 0)
        self.assertEqual(got["velkor_proxy_connections_total"], report["total_connections"])
        self.assertEqual(report["total_connections"], 5)
        for i, (r, hits, errors) in enumerate(zip(report["routes"], [3, 0], [0, 2])):
            labels = '{route="%d",host="%s",prefix="%s",backend="127.0.0.1:%d"}' % (
                i, r["host"], r["path_prefix"], r["target_port"])
            self.assertEqual((r["hits"], r["errors"]), (hits, errors))
            self.assertEqual(got["velkor_proxy_route_hits_total" + labels], hits, page)
            self.assertEqual(got["velkor_proxy_route_errors_total" + labels], errors, page)
        self.assertEqual(scrape(mport, "/other")[0], 404)
        promtool = shutil.which("promtool")
        if promtool:
            r = subprocess.run([promtool, "check", "metrics"], input=page, text=True,
                               capture_output=True, timeout=30)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertEqual(p.stop(signal.SIGTERM)[0], 0)
        assert_nothing_listens(mport)


class ReloadTest(TempDirCase):
    def config(self, prefix, **top):
        return self.write("r.json", {"listen_port": self.port, **top, "routes": [
            {"path_prefix": prefix, "target_port": self.backend}]})

    def setUp(self):
        super().setUp()
        self.port, self.backend = free_port(), self.serve_backend()

    def test_sighup_reloads_and_keeps_the_previous_document_when_refused(self):
        p = self.start(self.config("/one"), "--status-interval", "0.2")
        p.wait_for_line(r"running HTTP :%d" % self.port)
        url = "http://127.0.0.1:%d/two/x" % self.port
        self.config("/two")
        p.proc.send_signal(signal.SIGHUP)
        p.wait_for_line(r"^velkor-proxy: reloaded ")
        self.assertEqual(curl(url), (0, "backend says hi\n"))
        p.wait_for_line(r"/two -> 127\.0\.0\.1:\d+ hits 1 errors 0")

        self.write("r.json", {"listen_port": self.port, "routes": []})
        p.proc.send_signal(signal.SIGHUP)
        p.wait_for_line(r"refused: at least one route required; serving the previous "
                        r"configuration again$", stream="err")
        self.assertEqual(curl(url), (0, "backend says hi\n"))
        self.assertEqual(p.stop(signal.SIGTERM)[0], 0)

    def test_sighup_exits_1_when_neither_document_starts(self):
        cert, key = self.make_cert()
        p = self.start(self.config("/", tls_cert=cert, tls_key=key))
        p.wait_for_line(r"running HTTPS :%d" % self.port)
        with open(cert, "w") as f:  # replaced by something unreadable
            f.write("not a certificate\n")
        p.proc.send_signal(signal.SIGHUP)
        self.assertEqual(p.finish(), 1)
        line = p.wait_for_line(r"reload: .* refused: ", stream="err")
        self.assertEqual(line.count("cannot load certificate"), 2, line)
        assert_nothing_listens(self.port)

    def test_sighup_at_a_terminal_stops(self):
        leader, terminal = pty.openpty()
        self.addCleanup(os.close, leader)
        self.addCleanup(os.close, terminal)
        p = self.start(self.config("/"), stdin=terminal)
        p.wait_for_line(r"running HTTP :%d" % self.port)
        self.assertEqual(p.stop(signal.SIGHUP)[0], 0)
        p.wait_for_line(r"^velkor-proxy: stopped$")


if __name__ == "__main__":
    unittest.main()
