#!/usr/bin/env bash
# The DLL must export Fenwarden_Start and nothing else.
set -euo pipefail
dump=$(x86_64-w64-mingw32-objdump -p "$1")
names=$(awk '/\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && /^[ \t]*\[/ {print $NF; next} on {exit}' <<<"$dump")
count=$(awk '/Export Address Table[ \t]+[0-9a-fA-F]+$/ {print $NF; exit}' <<<"$dump")
echo "exports: ${names:-<none>} (address table entries: ${count:-?})"
[ "$names" = "Fenwarden_Start" ] && [ "$count" = "00000001" ]
