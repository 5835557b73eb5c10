#!/usr/bin/env python3
"""Turns the raw files of one bench/run.sh run (raw.tsv, memory.tsv,
limits.txt, params.tsv, meta.txt in WORK_DIR) into the Markdown report:
medians over the rounds, our ratio to each peer and to the better peer, and
our TLS figures beside their floor: our own plain figure of the same run plus
mbedTLS's own cost for the parameters negotiated."""
import csv
import statistics
import sys
from collections import defaultdict

PEERS = ("nginx", "haproxy")
MIB = 1048576


def read_tsv(path):
    with open(path) as f:
        return list(csv.DictReader(f, delimiter="\t"))


def num(v):
    return None if v in ("-", "", None) else float(v)


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def fmt(v, digits=0):
    return "-" if v is None else f"{v:,.{digits}f}"


def ratio(a, b):
    return "-" if a is None or not b else f"{a / b:.2f}x"


def main():
    work = sys.argv[1]
    raw = read_tsv(f"{work}/raw.tsv")
    memory = read_tsv(f"{work}/memory.tsv")
    meta = open(f"{work}/meta.txt").read().strip().splitlines()
    # LIMIT <round> <cert> <what> <value> ..., once per round: medians.
    limit_runs = defaultdict(list)
    negotiated = {}
    for line in open(f"{work}/limits.txt"):
        parts = line.split()
        if parts[:1] == ["LIMIT"]:
            limit_runs[(parts[2], parts[3])].append(float(parts[4]))
        elif parts[:1] == ["NEGOTIATED"]:
            negotiated[(parts[2], parts[3])] = " ".join(parts[4:])
    limits = {k: median(v) for k, v in limit_runs.items()}
    params = {(p["target"], p["cert"], p["version"]): p for p in read_tsv(f"{work}/params.tsv")}

    runs = defaultdict(list)
    order = []
    for r in raw:
        key = (r["scenario"], r["target"])
        if r["scenario"] not in order:
            order.append(r["scenario"])
        runs[key].append(r)

    def med(scenario, target, field):
        return median(num(r[field]) for r in runs.get((scenario, target), []))

    def mbps(scenario, target):
        # wrk counts response bytes only; an upload's rate is its bodies'.
        if "-up" in scenario:
            rps = med(scenario, target, "rps")
            return None if rps is None else rps * MIB / 1e6
        return med(scenario, target, "mbps")

    def errors(scenario, target):
        return sum(int(r["errors"]) + int(r["non2xx"]) for r in runs.get((scenario, target), []))

    out = ["# velkor-proxy benchmark", ""]
    out += [f"- {line}" for line in meta]
    out += ["", "Medians over the rounds. rps: requests per second; MB/s: response bytes "
            "per second as wrk counts them; CPU: the proxy's own CPU time (user + system, "
            "all its processes and threads) per request; errors: wrk's socket errors and "
            "non-2xx answers, summed over the rounds; load and proxy CPU busy: how busy the "
            "load generator's core (wrk and the backend) and the proxies' core were during the "
            "run, from /proc/stat. Upload scenarios (-up1m) POST a 1 MiB body and get a "
            "short answer; their MB/s is the bodies' rate. Ratios are ours divided by the "
            "peer's (for CPU, lower is better, so the ratio is ours / peer as well).", ""]

    out += ["## Request rate, latency and CPU", "",
            "| scenario | target | rps | MB/s | p50 ms | p90 ms | p99 ms | CPU µs/req | errors "
            "| load CPU busy | proxy CPU busy |",
            "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for s in order:
        for t in ("ours", "nginx", "haproxy", "nginx-fresh", "direct"):
            if (s, t) not in runs:
                continue
            p = [med(s, t, k) for k in ("p50_us", "p90_us", "p99_us")]
            out.append(f"| {s} | {t} | {fmt(med(s, t, 'rps'))} | {fmt(mbps(s, t), 1)} | "
                       + " | ".join(fmt(v / 1000 if v is not None else None, 2) for v in p)
                       + f" | {fmt(med(s, t, 'cpu_us_per_req'), 1)} | {errors(s, t)} "
                       + f"| {fmt(med(s, t, 'load_cpu_pct'))}% | {fmt(med(s, t, 'proxy_cpu_pct'))}% |")

    out += ["", "## Ours compared", "",
            "| scenario | rps / nginx | rps / HAProxy | rps / better peer | p99 / better peer's "
            "| CPU per req / better peer's | rps / direct |",
            "|---|---:|---:|---:|---:|---:|---:|"]
    for s in order:
        if not any((s, t) in runs for t in PEERS):
            continue
        ours = med(s, "ours", "rps")
        peer_rps = {t: med(s, t, "rps") for t in PEERS}
        best = max(PEERS, key=lambda t: peer_rps[t] or 0)
        best_cpu = min((med(s, t, "cpu_us_per_req") for t in PEERS),
                       key=lambda v: v if v is not None else float("inf"))
        out.append(f"| {s} | {ratio(ours, peer_rps['nginx'])} | {ratio(ours, peer_rps['haproxy'])} "
                   f"| {ratio(ours, peer_rps[best])} ({best}) "
                   f"| {ratio(med(s, 'ours', 'p99_us'), med(s, best, 'p99_us'))} "
                   f"| {ratio(med(s, 'ours', 'cpu_us_per_req'), best_cpu)} "
                   f"| {ratio(ours, med(s, 'direct', 'rps'))} |")

    fresh = [s for s in order if (s, "nginx-fresh") in runs]
    if fresh:
        out += ["", "## Against a proxy that also connects to the backend per client connection", "",
                "nginx-fresh is the nginx above without upstream keep-alive: like ours it opens "
                "and closes a backend connection for every client connection. A reference for "
                "what that costs, not a peer.", "",
                "| scenario | rps / nginx-fresh | CPU per req / nginx-fresh's |",
                "|---|---:|---:|"]
        for s in fresh:
            out.append(f"| {s} | {ratio(med(s, 'ours', 'rps'), med(s, 'nginx-fresh', 'rps'))} "
                       f"| {ratio(med(s, 'ours', 'cpu_us_per_req'), med(s, 'nginx-fresh', 'cpu_us_per_req'))} |")

    out += ["", "## TLS against its floor", "",
            "The floor of a TLS figure is what it cannot go below with mbedTLS doing the "
            "TLS: our own plain figure of the same run plus mbedTLS's own CPU for the same "
            "work with the same parameters (bench/tls_limits, in memory, on the proxies' "
            "core, once per round, the client's offer pinned to what ours negotiated with "
            "wrk; see below). New connection: our CPU per plain new connection "
            "(plain-close) + mbedTLS's server CPU per full handshake. 1 MiB answers: our "
            "CPU per plain 1 MiB answer (plain-1m) + mbedTLS's encryption of 1 MiB. 1 MiB "
            "uploads: our CPU per plain 1 MiB upload (plain-up1m) + mbedTLS's decryption "
            "of 1 MiB. All figures are medians over the rounds, in µs of the proxy's CPU; "
            "the goal for new connections is at most 1.10x the floor.", "",
            "| TLS | cert | what | ours µs | floor µs | = plain µs | + mbedTLS µs | ours / floor |",
            "|---|---|---|---:|---:|---:|---:|---:|"]
    for ver, tag in (("1.3", "tls13"), ("1.2", "tls12")):
        for cert in ("ec", "rsa"):
            pre = tag if cert == "ec" else f"{tag}-rsa"
            for what, scen, plain, cost in (
                    ("CPU per new connection", f"{pre}-close", "plain-close", f"handshake_us_{tag}"),
                    ("CPU per MiB of answers", f"{pre}-1m", "plain-1m", f"encrypt_us_{tag}"),
                    ("CPU per MiB of uploads", f"{pre}-up1m", "plain-up1m", f"decrypt_us_{tag}")):
                ours = med(scen, "ours", "cpu_us_per_req")
                base = med(plain, "ours", "cpu_us_per_req")
                extra = limits.get((cert, cost))
                if ours is None and base is None and extra is None:
                    continue
                floor = None if base is None or extra is None else base + extra
                out.append(f"| {ver} | {cert.upper()} | {what} | {fmt(ours)} | {fmt(floor)} | "
                           f"{fmt(base)} | {fmt(extra)} | {ratio(ours, floor)} |")

    out += ["", "## TLS against mbedTLS's own limits on this machine", "",
            "The same mbedTLS figures as rates: a proxy on one core can at best reach these. "
            "'CPU-bound' figures divide the limit's cost by our CPU per request, which "
            "does not depend on whether the load generator or the proxy was the bottleneck.", "",
            "| what | limit per core | ours | ours / limit | ours, CPU-bound / limit |",
            "|---|---:|---:|---:|---:|"]
    for ver, tag in (("1.3", "tls13"), ("1.2", "tls12")):
        for cert, scen in (("ec", f"{tag}-close"), ("rsa", f"{tag}-rsa-close")):
            lim = limits.get((cert, f"handshake_{tag}"))
            rps = med(scen, "ours", "rps")
            cpu = med(scen, "ours", "cpu_us_per_req")
            if lim is None or rps is None:
                continue
            cpu_bound = None if not cpu else 1e6 / cpu
            out.append(f"| TLS {ver} {cert.upper()} handshakes/s | {lim:,.0f} | {fmt(rps)} | "
                       f"{ratio(rps, lim)} | {ratio(cpu_bound, lim)} |")
        for what, kind, scen in (("responses", "encrypt", f"{tag}-1m"),
                                 ("uploads", "decrypt", f"{tag}-up1m")):
            cost = limits.get(("ec", f"{kind}_us_{tag}"))
            rate = mbps(scen, "ours")
            cpu = med(scen, "ours", "cpu_us_per_req")
            if not cost or rate is None:
                continue
            lim = MIB / cost   # bytes per µs = MB/s
            per_cpu = None if not cpu else MIB / cpu
            suite = params.get(("ours", "ec", ver), {}).get("suite", "?")
            out.append(f"| TLS {ver} 1 MiB {what}, MB/s ({suite}) | {lim:,.0f} | {fmt(rate)} "
                       f"| {ratio(rate, lim)} | {ratio(per_cpu, lim)} |")

    out += ["", "## What was negotiated", "",
            "Each proxy with wrk's client offer (openssl s_client with wrk's OpenSSL "
            "configuration for the version, read from its 'Cipher is', 'Server Temp Key' "
            "and 'Peer signature type' / 'Peer signing digest' lines), and for ours the "
            "names bench/tls_limits was pinned to.", "",
            "| target | cert | TLS | suite | group | signature | tls_limits pinned to |",
            "|---|---|---|---|---|---|---|"]
    for (t, cert, ver), p in sorted(params.items()):
        pinned = (f"{p['mbed_suite']}, {p['mbed_group']}, {p['mbed_sigalg']}"
                  if t == "ours" else "")
        out.append(f"| {t} | {cert.upper()} | {ver} | {p['suite']} | {p['group']} | "
                   f"{p['sigalg']} | {pinned} |")
    out += ["", "What tls_limits negotiated (last round): suite and version from mbedTLS's "
            "getters on the server session; mbedTLS 3.6 has no getter for the group or the "
            "signature algorithm, so these are read from the server's plaintext handshake "
            "messages (ServerHello key share, TLS 1.2 ServerKeyExchange), except the TLS 1.3 "
            "signature algorithm, which is encrypted: that one is the pinned value, the only "
            "one the client offered.", "", "```"]
    for (cert, label), line in sorted(negotiated.items()):
        out.append(f"{cert:4} {line}")
    out += ["```", "", "mbedTLS figures measured (medians over the rounds):", "", "```"]
    for (cert, what), v in limits.items():
        out.append(f"{cert:4} {what:62} {v:,.1f}")
    out += ["```", "", "## Memory per idle keep-alive connection", "",
            "Each connection completed one small request and stays open. RSS is the sum "
            "over the proxy's processes; 'added' counts only what the connections added "
            "to the RSS of the freshly started proxy.", "",
            "| target | connections | held | failed | RSS before KiB | RSS KiB | KiB per conn "
            "| added KiB per conn | threads |",
            "|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for m in memory:
        n = int(m["connections"])
        before, after = int(m["rss_before_kib"]), int(m["rss_kib"])
        out.append(f"| {m['target']} | {n:,} | {int(m['ok']):,} | {m['failed']} | {before:,} | "
                   f"{after:,} | {after / n:.1f} | {(after - before) / n:.1f} | {m['threads']} |")
    print("\n".join(out))


if __name__ == "__main__":
    main()
