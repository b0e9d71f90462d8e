#!/usr/bin/env bash
# Fails if any given binary contains the repository's absolute path (source
# file names in panic reports and debug info must be relative to it; the
# build passes -ffile-prefix-map). Usage: tools/check_no_build_paths.sh FILE...
set -euo pipefail
[ "$#" -gt 0 ] || { echo "usage: $0 FILE..." >&2; exit 2; }
root=$(cd "$(dirname "$0")/.." && pwd -P)
status=0
for f in "$@"; do
  [ -f "$f" ] || { echo "missing: $f" >&2; status=1; continue; }
  hits=$(strings -a "$f" | grep -F "$root/" || true)
  if [ -n "$hits" ]; then
    echo "build paths found in $f:" >&2
    echo "$hits" | sort -u | head -20 >&2
    status=1
  else
    echo "no build path in $f"
  fi
done
exit $status
