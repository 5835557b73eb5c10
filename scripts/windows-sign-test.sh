#!/usr/bin/env bash
# The signing step, proved on copies: a self-signed code-signing certificate
# made for this run (in a PKCS#12 file with a password), scripts/sign-windows.sh
# on copies of FILE... in a scratch folder, then "osslsigncode verify"
# against that certificate (-CAfile) for each: signed, SHA-256, by it. The
# originals, from a release that named no certificate, must be unsigned.
# The timestamp path needs a timestamp server and is not run here.
#
#   scripts/windows-sign-test.sh FILE...
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[ $# -gt 0 ] || { echo "usage: $0 FILE..." >&2; exit 2; }
say() { printf 'windows-sign-test: %s\n' "$*"; }
fail() { say "FAILED: $*"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
quiet() { "$@" >"$work/out" 2>&1 || { cat "$work/out" >&2; fail "$*"; }; }

password="run-$RANDOM-$RANDOM"
quiet openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=velkor-proxy test signer" \
    -addext keyUsage=critical,digitalSignature -addext extendedKeyUsage=codeSigning \
    -keyout "$work/signer.key" -out "$work/signer.pem"
quiet openssl pkcs12 -export -inkey "$work/signer.key" -in "$work/signer.pem" \
    -passout "pass:$password" -out "$work/signer.pfx"

# Named no certificate, the release left them unsigned.
for file in "$@"; do
    osslsigncode extract-signature -in "$file" -out "$work/sig" >/dev/null 2>&1 &&
        fail "$(basename "$file") is signed, with no certificate named"
done
mkdir "$work/files"
cp "$@" "$work/files/"
copies=("$work/files"/*)
VELKOR_SIGN_PFX="$work/signer.pfx" VELKOR_SIGN_PASSWORD="$password" VELKOR_SIGN_TIMESTAMP= \
    quiet "$here/sign-windows.sh" "${copies[@]}"
for file in "${copies[@]}"; do
    out=$(osslsigncode verify -in "$file" -CAfile "$work/signer.pem" 2>&1) ||
        { printf '%s\n' "$out" >&2; fail "${file##*/}: no signature that verifies"; }
    grep -q 'Message digest algorithm *: SHA256' <<<"$out" && grep -q 'Subject: /CN=velkor-proxy test signer' <<<"$out" &&
        grep -q '^Signature verification: ok' <<<"$out" || fail "${file##*/}: not SHA-256 by the run's certificate: $out"
done
say "signed and verified against the run's certificate: ${copies[*]##*/}"
