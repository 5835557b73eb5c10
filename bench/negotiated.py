#!/usr/bin/env python3
"""Reads `openssl s_client` output on stdin and prints what the server chose
for that client's offer, one tab-separated line: the suite, group and
signature algorithm in OpenSSL's words, then the same in the names that
bench/tls_limits takes (mbedTLS's suite names, IANA's group and signature
algorithm names), "-" where a name is not known."""
import re
import sys

text = sys.stdin.read()


def field(pattern):
    m = re.search(pattern, text, re.M)
    return m.group(1).strip() if m else ""


suite = field(r"Cipher is (\S+)")
# "X25519, 253 bits" or "ECDH, prime256v1, 256 bits": the group's name.
parts = [p.strip() for p in field(r"^Server Temp Key: (.*)$").split(",")]
group = parts[1] if parts[0] in ("ECDH", "DH") and len(parts) > 1 else parts[0]
sig_type = field(r"^Peer signature type: (\S+)")
digest = field(r"^Peer signing digest: (\S+)")


def mbed_suite(s):
    # TLS 1.3: TLS_AES_256_GCM_SHA384 -> TLS1-3-AES-256-GCM-SHA384
    if s.startswith("TLS_"):
        return "TLS1-3-" + s[4:].replace("_", "-")
    # TLS 1.2: ECDHE-RSA-AES128-GCM-SHA256 -> TLS-ECDHE-RSA-WITH-AES-128-GCM-SHA256;
    # OpenSSL leaves out the hash of CHACHA20-POLY1305 suites, always SHA256.
    m = re.fullmatch(r"(ECDHE|DHE)-(ECDSA|RSA)-(AES(128|256)-GCM-(SHA256|SHA384)|CHACHA20-POLY1305)", s)
    if not m:
        return "-"
    kx, auth, cipher = m.group(1), m.group(2), m.group(3)
    if cipher.startswith("AES"):
        cipher = f"AES-{m.group(4)}-GCM-{m.group(5)}"
    else:
        cipher += "-SHA256"
    return f"TLS-{kx}-{auth}-WITH-{cipher}"


def mbed_group(g):
    return {"x25519": "x25519", "x448": "x448", "prime256v1": "secp256r1",
            "secp384r1": "secp384r1", "secp521r1": "secp521r1"}.get(g.lower(), "-")


def mbed_sigalg(kind, dig):
    bits = dig.upper().replace("SHA", "")
    if kind == "ECDSA":
        curve = {"256": "secp256r1", "384": "secp384r1", "512": "secp521r1"}.get(bits)
        return f"ecdsa_{curve}_sha{bits}" if curve else "-"
    if kind == "RSA-PSS":
        return f"rsa_pss_rsae_sha{bits}"
    if kind == "RSA":
        return f"rsa_pkcs1_sha{bits}"
    return "-"


sig = f"{sig_type}+{digest}" if sig_type else ""
print("\t".join([suite or "?", group or "?", sig or "?", mbed_suite(suite),
                 mbed_group(group), mbed_sigalg(sig_type, digest)]))
