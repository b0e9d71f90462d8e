#!/usr/bin/env bash
# Checks a repaired wheel before anyone installs it:
# - its file name carries a manylinux tag, and `auditwheel show` finds the
#   modules' symbol versions within that manylinux policy, with libtbb.so.12
#   (which the tbb package provides at run time) as the only library outside it;
# - every RPATH/RUNPATH entry of every ELF file is $ORIGIN-relative;
# - no file holds the repository's path or a pip build environment's path;
# - the modules hold no FMA instruction.
# Usage: tools/check_wheel.sh WHEEL [PYTHON]   (PYTHON has auditwheel; default python3)
set -euo pipefail
wheel=${1:?usage: $0 WHEEL [PYTHON]}
python=${2:-python3}
tools=$(cd "$(dirname "$0")" && pwd -P)
root=$(dirname "$tools")
fail() { echo "check_wheel: $*" >&2; exit 1; }

[ -f "$wheel" ] || fail "no wheel at $wheel"
name=$(basename "$wheel")
[[ $name == *-manylinux_* ]] || fail "$name has no manylinux tag (auditwheel repair not run?)"

report=$("$python" -m auditwheel show --json "$wheel")
"$python" - "$report" "$name" <<'EOF' || exit 1
import json, sys
report, name = json.loads(sys.argv[1]), sys.argv[2]
sym_tag, external = report["sym_tag"], sorted(report["external_libs"])
if not sym_tag.startswith("manylinux_"):
    sys.exit(f"check_wheel: symbol versions need {sym_tag}, not a manylinux policy")
if sym_tag not in name:
    sys.exit(f"check_wheel: the wheel is tagged {name} but its symbols need {sym_tag}")
if external not in ([], ["libtbb.so.12"]):
    sys.exit(f"check_wheel: libraries outside the manylinux policy: {external}")
print(f"auditwheel: symbol versions within {sym_tag}; outside the policy only {external or 'nothing'}"
      " (libtbb.so.12 comes from the tbb package)")
EOF

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
"$python" -m zipfile -e "$wheel" "$unpacked"

mapfile -t elves < <(find "$unpacked" -type f -exec sh -c \
  'head -c 4 "$1" | grep -q "^.ELF" && echo "$1"' _ {} \;)
[ "${#elves[@]}" -ge 2 ] || fail "expected the two extension modules, found ${#elves[@]} ELF files"
for f in "${elves[@]}"; do
  paths=$(readelf -d "$f" | sed -n 's/.*(R\(UN\)\?PATH).*\[\(.*\)\]/\2/p' | tr ':' '\n')
  while IFS= read -r p; do
    [ -z "$p" ] || [[ $p == '$ORIGIN'* ]] || fail "${f#"$unpacked"/}: RPATH entry $p is not \$ORIGIN-relative"
  done <<<"$paths"
  echo "rpath of ${f#"$unpacked"/}: ${paths//$'\n'/:}"
done

"$tools/check_no_build_paths.sh" "${elves[@]}"
"$tools/check_no_fma.sh" "${elves[@]}"
if hits=$(grep -rlaF -e "$root/" -e "pip-build-env" "$unpacked"); then
  fail "build paths in: ${hits//"$unpacked"\//}"
fi
echo "check_wheel: $name passed (${#elves[@]} modules)"
