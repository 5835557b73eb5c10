#!/usr/bin/env python3
"""Descriptor headroom of the velkor-proxy program under a flood of silent
connections from one address. A probe that prints figures; it asserts none.

    bench/headroom.py [--bin PATH] [--count N] [--exhaust N] [--head-timeout-ms MS]

1. Headroom. The program starts as systemd starts a service: a soft
   descriptor limit of 1024 and a larger hard one (here 8192, at most the
   hard limit this shell has; it must be above N + 100). The configuration
   sets no cap and a head_timeout_ms of 60 s (--head-timeout-ms), which
   outlasts the flood even on a busy machine. N silent connections (default
   5000) from 127.0.0.1 are opened and held; then one request from 127.0.0.2
   is timed, and the time until the head deadline has closed every silent
   connection is measured.
2. Running out. The program starts with a hard limit of 1024 too, so it
   cannot raise it, and head_timeout_ms 0 (no deadline). One relayed
   keep-alive connection from 127.0.0.3 completes a request; then the
   exhaust count (default 1100) of silent connections takes every
   descriptor. A request from 127.0.0.2 gets no answer meanwhile; 100 ms
   after 100 silent connections close, another is timed, and the relayed
   connection is asked again.

The program comes from build/host/velkor-proxy unless --bin names another.
"""
import argparse
import http.server
import json
import os
import resource
import selectors
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BATCH = 25   # connects at a time, as the attacker of the landed program did


class Backend(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"   # keep-alive, for the relayed connection

    def do_GET(self):
        body = b"ok\n"
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_program(binary, doc, soft, hard, workdir):
    path = os.path.join(workdir, "config.json")
    with open(path, "w") as f:
        json.dump(doc, f)
    err = open(os.path.join(workdir, "stderr.txt"), "w+")
    proc = subprocess.Popen(
        [binary, path, "--status-interval", "3600", "--json"],
        stdout=subprocess.DEVNULL, stderr=err,
        preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard)))
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", doc["listen_port"]), timeout=1).close()
            return proc, err
        except OSError:
            time.sleep(0.05)
    proc.kill()
    sys.exit("headroom: the program did not start listening")


def figures(pid):
    with open("/proc/%d/status" % pid) as f:
        status = dict(line.split(":", 1) for line in f if ":" in line)
    with open("/proc/%d/limits" % pid) as f:
        limit = next(line.split()[3:5] for line in f if line.startswith("Max open files"))
    return {"fds": len(os.listdir("/proc/%d/fd" % pid)), "threads": int(status["Threads"]),
            "rss_mib": int(status["VmRSS"].split()[0]) / 1024, "limit": ":".join(limit)}


def flood(port, count, pid, room):
    """Tries count connections from 127.0.0.1, BATCH at a time, and sends
    nothing; returns those that connected. After each batch it waits (at
    most 2 s, or until its count stalls for 0.2 s) until the program has
    accepted what it can take, up to `room` descriptors: a connect
    overflowing the listen backlog of 32 looks connected to its client but
    is not accepted until the server's SYN-ACK retransmissions get it in,
    seconds later, if ever."""
    held = []
    base = figures(pid)["fds"]
    attempted = 0
    while attempted < count:
        batch = []
        for _ in range(min(BATCH, count - attempted)):
            attempted += 1
            s = socket.socket()
            s.setblocking(False)
            s.connect_ex(("127.0.0.1", port))
            batch.append(s)
        sel = selectors.DefaultSelector()
        for s in batch:
            sel.register(s, selectors.EVENT_WRITE)
        deadline = time.monotonic() + 5
        while sel.get_map() and time.monotonic() < deadline:
            for key, _ in sel.select(timeout=0.5):
                sel.unregister(key.fileobj)
                if key.fileobj.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) == 0:
                    held.append(key.fileobj)
                else:
                    key.fileobj.close()
        for key in list(sel.get_map().values()):
            key.fileobj.close()
        want = min(base + len(held), room)
        deadline = time.monotonic() + 2
        seen, since = -1, time.monotonic()
        while time.monotonic() < deadline and time.monotonic() - since < 0.2:
            n = figures(pid)["fds"]
            if n >= want:
                break
            if n != seen:
                seen, since = n, time.monotonic()
            time.sleep(0.005)
    return held


def request(port, source, timeout, sock=None):
    """Seconds until the answer's status line, and the line; (None, why) when
    none came within timeout."""
    begin = time.monotonic()
    own = sock is None
    try:
        if own:
            sock = socket.socket()
            sock.bind((source, 0))
            sock.settimeout(timeout)
            sock.connect(("127.0.0.1", port))
        sock.sendall(b"GET / HTTP/1.1\r\nHost: probe\r\n\r\n")
        got = b""
        while b"\r\n\r\nok\n" not in got:
            chunk = sock.recv(4096)
            if not chunk:
                return None, "closed after %r" % got[:40]
            got += chunk
        return time.monotonic() - begin, got.split(b"\r\n", 1)[0].decode()
    except OSError as e:
        return None, "%s after %.1f s" % (type(e).__name__, time.monotonic() - begin)
    finally:
        if own and sock:
            sock.close()


def wait_all_closed(socks, limit_s):
    """Waits up to limit_s until every socket has seen its end; returns how
    many did and the seconds the wait took."""
    sel = selectors.DefaultSelector()
    for s in socks:
        sel.register(s, selectors.EVENT_READ)
    begin = time.monotonic()
    while sel.get_map() and time.monotonic() - begin < limit_s:
        for key, _ in sel.select(timeout=0.5):
            try:
                if key.fileobj.recv(1) == b"":
                    sel.unregister(key.fileobj)
            except OSError:
                sel.unregister(key.fileobj)
    return len(socks) - len(sel.get_map()), time.monotonic() - begin


def settle(pid, limit_s=30):
    """Waits until the program's descriptor count has not changed for 1 s:
    it has accepted what it will."""
    begin, last, since = time.monotonic(), -1, time.monotonic()
    while time.monotonic() - begin < limit_s:
        n = figures(pid)["fds"]
        if n != last:
            last, since = n, time.monotonic()
        elif time.monotonic() - since >= 1:
            break
        time.sleep(0.1)
    return figures(pid)


def stop(proc, err):
    proc.send_signal(signal.SIGTERM)
    proc.wait(timeout=30)
    err.seek(0)
    return [line.strip() for line in err if "warning" in line]


def headroom(binary, backend_port, count, head_timeout_ms, workdir):
    hard = min(resource.getrlimit(resource.RLIMIT_NOFILE)[1], 8192)
    if hard <= count + 100:
        sys.exit("headroom: a hard descriptor limit above %d is needed (have %d)" % (count + 100, hard))
    port = free_port()
    doc = {"listen_port": port, "head_timeout_ms": head_timeout_ms,
           "routes": [{"target_port": backend_port}]}
    proc, err = start_program(binary, doc, 1024, hard, workdir)
    print("headroom: started with the limit 1024:%d; the program runs with %s"
          % (hard, figures(proc.pid)["limit"]))
    begin = time.monotonic()
    held = flood(port, count, proc.pid, hard)
    took = time.monotonic() - begin
    f = settle(proc.pid)
    print("headroom: %d of %d silent connections from 127.0.0.1 held after %.1f s; the program "
          "holds %d descriptors and %d threads, RSS %.0f MiB"
          % (len(held), count, took, f["fds"], f["threads"], f["rss_mib"]))
    secs, line = request(port, "127.0.0.2", 10)
    print("headroom: a request from 127.0.0.2 meanwhile: " +
          ("%s in %.1f ms" % (line, secs * 1000) if secs is not None else "no answer: " + line))
    closed, _ = wait_all_closed(held, head_timeout_ms / 1000 + 30)
    print("headroom: the head deadline (%d ms) closed %d of them, the last %.1f s after the "
          "first one connected and %.1f s after the last one did"
          % (head_timeout_ms, closed, time.monotonic() - begin, time.monotonic() - begin - took))
    for s in held:
        s.close()
    for w in stop(proc, err):
        print("headroom: the program said: " + w)


def running_out(binary, backend_port, count, workdir):
    port = free_port()
    doc = {"listen_port": port, "head_timeout_ms": 0, "routes": [{"target_port": backend_port}]}
    proc, err = start_program(binary, doc, 1024, 1024, workdir)
    relayed = socket.create_connection(("127.0.0.1", port), timeout=5,
                                       source_address=("127.0.0.3", 0))
    first, _ = request(port, None, 5, relayed)
    held = flood(port, count, proc.pid, 1024 - 2)
    f = settle(proc.pid)
    print("running out: limit 1024:1024, %d of %d silent connections held; the program holds "
          "%d descriptors" % (len(held), count, f["fds"]))
    secs, line = request(port, "127.0.0.2", 2)
    print("running out: a request from 127.0.0.2 with no descriptor free: " +
          ("%s in %.1f ms" % (line, secs * 1000) if secs is not None else "no answer (" + line + ")"))
    for s in held[:100]:
        s.close()
    held = held[100:]
    time.sleep(0.1)   # their connection threads see the end and close
    secs, line = request(port, "127.0.0.2", 5)
    print("running out: 100 ms after 100 silent connections closed, a request from 127.0.0.2: " +
          ("%s in %.1f ms" % (line, secs * 1000) if secs is not None else "no answer (" + line + ")"))
    again, line = request(port, None, 5, relayed)
    print("running out: the relayed connection from 127.0.0.3 (answered first in %.1f ms) "
          "answers again: %s" % ((first or 0) * 1000, "yes, in %.1f ms" % (again * 1000)
                                 if again is not None else "no (" + line + ")"))
    relayed.close()
    for s in held:
        s.close()
    for w in stop(proc, err):
        print("running out: the program said: " + w)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--bin", default=os.path.join(ROOT, "build", "host", "velkor-proxy"))
    ap.add_argument("--count", type=int, default=5000)
    ap.add_argument("--exhaust", type=int, default=1100)
    ap.add_argument("--head-timeout-ms", type=int, default=60000)
    args = ap.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))   # this side holds them all too
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Backend)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    with tempfile.TemporaryDirectory() as workdir:
        headroom(args.bin, server.server_address[1], args.count, args.head_timeout_ms, workdir)
        running_out(args.bin, server.server_address[1], args.exhaust, workdir)
    server.shutdown()


if __name__ == "__main__":
    main()
