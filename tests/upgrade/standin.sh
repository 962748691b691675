#!/bin/sh
# Stand-in for the prepare and upgrade commands: appends one line to commands.log beside it (its
# own name as called, then each argument in brackets) and does nothing else.
log="$(dirname "$0")/commands.log"
{
    printf '%s' "$(basename "$0")"
    for a in "$@"; do printf ' [%s]' "$a"; done
    printf '\n'
} >>"$log"
