#!/bin/sh
# Stand-in for the signature check: logs its call like standin.sh, then verifies image $1 against
# the base64 signature $2 with the public key $3 (openssl dgst -sha256 -verify) and prints
# openssl's verdict without its line end. With --keep-newline first, the verdict keeps its line end.
log="$(dirname "$0")/commands.log"
{
    printf '%s' "$(basename "$0")"
    for a in "$@"; do printf ' [%s]' "$a"; done
    printf '\n'
} >>"$log"
keep=0
if [ "$1" = --keep-newline ]; then keep=1; shift; fi
sig=$(mktemp)
printf '%s' "$2" | base64 -d >"$sig" 2>/dev/null
out=$(openssl dgst -sha256 -verify "$3" -signature "$sig" "$1" 2>&1)
rm -f "$sig"
if [ $keep = 1 ]; then printf '%s\n' "$out"; else printf '%s' "$out"; fi
