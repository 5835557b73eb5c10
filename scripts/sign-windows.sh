#!/usr/bin/env bash
# Authenticode signatures (SHA-256) for Windows release files, in place.
#
#   scripts/sign-windows.sh FILE...      (.exe, .dll, .msi)
#
# Environment:
#   VELKOR_SIGN_PFX        the PKCS#12 file: code-signing certificate, its
#                          chain and its key. Unset: nothing is signed.
#   VELKOR_SIGN_PASSWORD   its password. osslsigncode reads it from a pipe
#                          (-readpass), so no command line shows it, and the
#                          variable is taken out of osslsigncode's
#                          environment.
#   VELKOR_SIGN_TIMESTAMP  an RFC 3161 timestamp server's URL (optional):
#                          with it the signature stays valid after the
#                          certificate expires.
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: $0 FILE..." >&2; exit 2; }
say() { printf 'sign-windows: %s\n' "$*"; }

if [ -z "${VELKOR_SIGN_PFX:-}" ]; then
    say "no VELKOR_SIGN_PFX, left unsigned: ${*##*/}"
    exit 0
fi
[ -r "$VELKOR_SIGN_PFX" ] || { say "cannot read VELKOR_SIGN_PFX $VELKOR_SIGN_PFX"; exit 1; }
command -v osslsigncode >/dev/null || { say "no osslsigncode (scripts/build-windows.sh packages)"; exit 1; }

timestamp=()
[ -z "${VELKOR_SIGN_TIMESTAMP:-}" ] || timestamp=(-ts "$VELKOR_SIGN_TIMESTAMP")
password=${VELKOR_SIGN_PASSWORD-}
for file in "$@"; do
    rm -f "$file.signed"
    # printf is a shell builtin: the password is on no process's command line.
    if ! env -u VELKOR_SIGN_PASSWORD osslsigncode sign -pkcs12 "$VELKOR_SIGN_PFX" \
            -readpass <(printf '%s' "$password") -h sha256 -n velkor-proxy \
            "${timestamp[@]}" -in "$file" -out "$file.signed" >"$file.sign.log" 2>&1; then
        sed 's/^/  /' "$file.sign.log" >&2
        rm -f "$file.signed" "$file.sign.log"
        say "signing $file failed"
        exit 1
    fi
    rm -f "$file.sign.log"
    mv "$file.signed" "$file"
    say "signed $(basename "$file")${timestamp[*]:+ (timestamped)}"
done
