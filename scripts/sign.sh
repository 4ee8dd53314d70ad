#!/usr/bin/env bash
# Signs each file named (CORVANE.exe, the MSI package) in place with the maker's
# code-signing certificate:
#   CORVANE_SIGN_PFX        the PKCS#12 file (.pfx, .p12) with the certificate, its chain
#                           and the private key
#   CORVANE_SIGN_PASSWORD   its password (empty for a file without one)
#   CORVANE_SIGN_TIMESTAMP  optional: the URL of an RFC 3161 time-stamping server, so the
#                           signature stays valid after the certificate expires
# Each file is signed into a folder beside it and then renamed over the original, so a
# failure or an interruption leaves the original as it was. The password reaches
# osslsigncode through a pipe: it is never in a command line or the output.
set -euo pipefail

fail() {
    echo "sign.sh: $*" >&2
    exit 1
}

[ $# -gt 0 ] || fail "usage: CORVANE_SIGN_PFX=file.pfx CORVANE_SIGN_PASSWORD=... $0 FILE..."
command -v osslsigncode >/dev/null ||
    fail "osslsigncode is not installed (Debian: apt-get install osslsigncode)"
[ -n "${CORVANE_SIGN_PFX:-}" ] ||
    fail "CORVANE_SIGN_PFX is not set: name the PKCS#12 file (.pfx) with the certificate and key"
if [ ! -f "$CORVANE_SIGN_PFX" ] || [ ! -r "$CORVANE_SIGN_PFX" ]; then
    fail "cannot read the certificate file $CORVANE_SIGN_PFX (CORVANE_SIGN_PFX)"
fi
[ -n "${CORVANE_SIGN_PASSWORD+set}" ] ||
    fail "CORVANE_SIGN_PASSWORD is not set: the password of $CORVANE_SIGN_PFX (empty for none)"
for file in "$@"; do
    [ -f "$file" ] || fail "no such file: $file"
done

options=(-pkcs12 "$CORVANE_SIGN_PFX" -h sha256 -n Corvane)
[ -z "${CORVANE_SIGN_TIMESTAMP:-}" ] || options+=(-ts "$CORVANE_SIGN_TIMESTAMP")
work=""
trap '[ -z "$work" ] || rm -rf -- "$work"' EXIT

# sign FILE: replaces FILE by its signed copy, or leaves it and says why.
sign() {
    local file=$1 signed output status=0
    work=$(mktemp -d "$(dirname -- "$file")/.signing.XXXXXX")
    signed="$work/$(basename -- "$file")"
    if [ -n "$CORVANE_SIGN_PASSWORD" ]; then
        output=$(osslsigncode sign "${options[@]}" -readpass <(printf '%s' "$CORVANE_SIGN_PASSWORD") \
            -in "$file" -out "$signed" 2>&1) || status=$?
    else  # an empty password file is refused, and a file without one needs none
        output=$(osslsigncode sign "${options[@]}" -in "$file" -out "$signed" 2>&1) || status=$?
    fi
    if [ "$status" -ne 0 ]; then
        case $output in
            *"mac verify failure"*) fail "wrong password for $CORVANE_SIGN_PFX (CORVANE_SIGN_PASSWORD)" ;;
            *"PKCS#12"*) fail "$CORVANE_SIGN_PFX is not a PKCS#12 file with a certificate and key" ;;
            *) fail "cannot sign $file, osslsigncode says:"$'\n'"$output" ;;
        esac
    fi
    chmod --reference="$file" -- "$signed"
    mv -f -- "$signed" "$file"
    rm -rf -- "$work"
    work=""
    echo "Signed $file"
}

for file in "$@"; do
    sign "$file"
done
