#!/usr/bin/env bash
# Flips the lowest bit of one byte of a file in place: flip-byte.sh FILE OFFSET.
# Used to damage a signed test program without changing its size.
set -euo pipefail
file=${1:?usage: flip-byte.sh FILE OFFSET}
offset=${2:?usage: flip-byte.sh FILE OFFSET}
byte=$(od -An -tu1 -j "$offset" -N1 "$file" | tr -d ' ')
[[ -n $byte ]] || { echo "flip-byte.sh: $file has no byte at $offset" >&2; exit 1; }
printf "\\$(printf %03o $((byte ^ 1)))" | dd of="$file" bs=1 seek="$offset" conv=notrunc status=none
