#!/usr/bin/env python3
"""Turns the raw files of one bench/run.sh run (raw.tsv, memory.tsv,
limits.txt, suites.tsv, meta.txt in WORK_DIR) into the Markdown report:
medians over the rounds, and our ratio to each peer and to the better peer."""
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


def aead_of(openssl_suite):
    s = openssl_suite.upper().replace("-", "_")
    if "CHACHA20" in s:
        return "CHACHA20-POLY1305"
    if "AES_256_GCM" in s or "AES256_GCM" in s:
        return "AES-256-GCM"
    if "AES_128_GCM" in s or "AES128_GCM" in s:
        return "AES-128-GCM"
    return None


def main():
    work = sys.argv[1]
    raw = read_tsv(f"{work}/raw.tsv")
    memory = read_tsv(f"{work}/memory.tsv")
    meta = open(f"{work}/meta.txt").read().strip().splitlines()
    limits = {}
    for line in open(f"{work}/limits.txt"):
        parts = line.split()
        if parts[:1] == ["LIMIT"]:   # measured twice: keep the better figure
            key = (parts[1], parts[2])
            limits[key] = max(limits.get(key, 0.0), float(parts[3]))
    suites = {}
    for line in open(f"{work}/suites.tsv"):
        target, version, suite = line.rstrip("\n").split("\t")
        suites[(target, version)] = suite

    runs = defaultdict(list)
    order = []
    for r in raw:
        key = (r["scenario"], r["target"])
        if r["scenario"] not in order:
            order.append(r["scenario"])
        runs[key].append(r)

    def med(scenario, target, field):
        return median(num(r[field]) for r in runs.get((scenario, target), []))

    def errors(scenario, target):
        return sum(int(r["errors"]) + int(r["non2xx"]) for r in runs.get((scenario, target), []))

    out = ["# velkor-proxy benchmark", ""]
    out += [f"- {line}" for line in meta]
    out += ["", "Medians over the rounds. rps: requests per second; MB/s: response bytes "
            "per second as wrk counts them; CPU: the proxy's own CPU time (user + system, "
            "all its processes and threads) per request; errors: wrk's socket errors and "
            "non-2xx answers, summed over the rounds; load and proxy CPU busy: how busy the "
            "load generator's core (wrk and the backend) and the proxies' core were during the "
            "run, from /proc/stat. Ratios are ours divided by the "
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
            out.append(f"| {s} | {t} | {fmt(med(s, t, 'rps'))} | {fmt(med(s, t, 'mbps'), 1)} | "
                       + " | ".join(fmt(v / 1000 if v is not None else None, 2) for v in p)
                       + f" | {fmt(med(s, t, 'cpu_us_per_req'), 1)} | {errors(s, t)} "
                       + f"| {fmt(med(s, t, 'load_cpu_pct'))}% | {fmt(med(s, t, 'proxy_cpu_pct'))}% |")

    out += ["", "## Ours compared", "",
            "| scenario | rps / nginx | rps / HAProxy | rps / better peer | p99 / better peer's "
            "| CPU per req / better peer's | rps / direct |",
            "|---|---:|---:|---:|---:|---:|---:|"]
    for s in order:
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

    out += ["", "## TLS against mbedTLS's own limits on this machine", "",
            "Limits from bench/tls_limits.cpp: the server side of full handshakes and "
            "16 KiB records, in memory, on the proxies' core, measured before and after the "
            "rounds (the better figure is kept). A proxy on one core can at best reach "
            "these; 'CPU-bound' figures divide the limit's cost by our CPU per request, which "
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
        suite = suites.get(("ours", ver), "?")
        aead = aead_of(suite)
        lim = limits.get(("ec", f"encrypt_{tag}_{aead}")) if aead else None
        mbps = med(f"{tag}-1m", "ours", "mbps")
        cpu = med(f"{tag}-1m", "ours", "cpu_us_per_req")
        if lim is not None and mbps is not None:
            per_cpu = None if not cpu else MIB / cpu   # bytes per µs = MB/s
            out.append(f"| TLS {ver} 1 MiB responses, MB/s ({suite}) | {lim:,.0f} | {fmt(mbps)} "
                       f"| {ratio(mbps, lim)} | {ratio(per_cpu, lim)} |")
    out += ["", "Suites negotiated with wrk's OpenSSL client:", ""]
    for (t, v), s in sorted(suites.items()):
        out.append(f"- {t}, TLS {v}: {s}")
    out += ["", "mbedTLS limits measured:", "", "```"]
    for (cert, what), v in limits.items():
        out.append(f"{cert:4} {what:40} {v:,.1f}")
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
