#!/usr/bin/env python3
"""Opens COUNT keep-alive connections to 127.0.0.1:PORT, completes one small
request on each, then holds them all idle until terminated.

Prints "READY ok=N failed=M" on stdout once every connection has either
finished its request or failed, then sleeps. Used by bench/run.sh to measure
the memory a proxy spends per idle connection, and by bench/idle_cpu.sh to
measure the CPU it spends on them.

    idle_conns.py PORT COUNT PATH [HOLD]

HOLD: the most seconds to hold the connections after READY (default: until
terminated); then it closes them and exits.
"""
import selectors
import signal
import socket
import sys
import time

IN_FLIGHT = 256        # connections being opened at once
DEADLINE_S = 120       # the whole set-up, at most

def main():
    port, count, path = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    hold = float(sys.argv[4]) if len(sys.argv) > 4 else None
    request = f"GET {path} HTTP/1.1\r\nHost: bench.local\r\n\r\n".encode()
    sel = selectors.DefaultSelector()
    held, failed, started = [], 0, 0
    deadline = time.monotonic() + DEADLINE_S

    def start_one():
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", port))
        sel.register(s, selectors.EVENT_WRITE, {"buf": b"", "sent": False})

    while (started < count or sel.get_map()) and time.monotonic() < deadline:
        while started < count and len(sel.get_map()) < IN_FLIGHT:
            start_one()
            started += 1
        for key, _ in sel.select(timeout=1.0):
            s, st = key.fileobj, key.data
            try:
                if not st["sent"]:
                    s.send(request)
                    st["sent"] = True
                    sel.modify(s, selectors.EVENT_READ, st)
                    continue
                chunk = s.recv(65536)
                if not chunk:
                    raise OSError("closed")
                st["buf"] += chunk
                head, sep, body = st["buf"].partition(b"\r\n\r\n")
                if not sep:
                    continue
                length = 0
                for line in head.split(b"\r\n")[1:]:
                    name, _, value = line.partition(b":")
                    if name.strip().lower() == b"content-length":
                        length = int(value)
                if len(body) >= length:
                    sel.unregister(s)
                    held.append(s)
            except OSError:
                sel.unregister(s)
                s.close()
                failed += 1
    failed += len(sel.get_map())
    print(f"READY ok={len(held)} failed={failed}", flush=True)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    if hold is not None:
        time.sleep(hold)
        return
    while True:
        time.sleep(3600)

if __name__ == "__main__":
    main()
