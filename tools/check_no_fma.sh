#!/usr/bin/env bash
# Fails if any given object file or library contains a fused multiply-add
# (vfm*) instruction: FMA changes rounding and breaks bit-identical results.
set -euo pipefail
[ "$#" -gt 0 ] || { echo "usage: $0 FILE..." >&2; exit 2; }
status=0
for f in "$@"; do
  [ -f "$f" ] || { echo "missing: $f" >&2; status=1; continue; }
  hits=$(objdump -d --no-show-raw-insn "$f" | grep -E '^\s+[0-9a-f]+:\s+vfn?m' || true)
  if [ -n "$hits" ]; then
    echo "FMA instructions found in $f:" >&2
    echo "$hits" | head -20 >&2
    status=1
  else
    echo "no FMA in $f ($(objdump -d "$f" | grep -c -E '^\s+[0-9a-f]+:') instructions checked)"
  fi
done
exit $status
