#!/usr/bin/env bash
# Runs a command with the system's oneTBB (Debian's libtbb-dev and its
# libraries) out of sight: in a private mount namespace, each libtbb* file is
# covered by an empty file and the headers and CMake package by empty
# directories, so a build that would pick them up fails and a process that
# would load them cannot. Shows that the Python build and the wheel need only
# the oneTBB from PyPI. Usage: tools/without_system_tbb.sh COMMAND [ARGS...]
#
# Needs root (or user namespaces) for `unshare --mount`. Where that is not
# available the command runs as it is, with a warning; under CI=true that is
# an error, so CI always checks with the system oneTBB hidden.
set -euo pipefail
[ "$#" -gt 0 ] || { echo "usage: $0 COMMAND [ARGS...]" >&2; exit 2; }

if [ "${VORN_TBB_HIDDEN:-}" != 1 ]; then
  if unshare --mount true 2>/dev/null; then
    VORN_TBB_HIDDEN=1 exec unshare --mount --propagation private "$0" "$@"
  fi
  if [ "${CI:-}" = true ]; then
    echo "without_system_tbb: cannot make a mount namespace (unshare --mount); needs root" >&2
    exit 1
  fi
  echo "without_system_tbb: no mount namespace here (needs root); running with the system oneTBB visible" >&2
  exec "$@"
fi

# Inside the namespace. Libraries: every libtbb* (libtbb, libtbbmalloc,
# libtbbbind, their dev symlinks) in the system library directories, covered
# at its real file so that every symlink to it is covered too.
empty_file=$(mktemp)
empty_dir=$(mktemp -d)
trap 'rm -rf "$empty_file" "$empty_dir"' EXIT
hidden=0
while IFS= read -r f; do
  mount --bind "$empty_file" "$f"
  hidden=$((hidden + 1))
done < <(find /lib /usr/lib /usr/lib64 /usr/local/lib -maxdepth 2 -name 'libtbb*.so*' \
           -exec readlink -f {} + 2>/dev/null | sort -u)
for d in /usr/include/tbb /usr/include/oneapi /usr/local/include/tbb /usr/local/include/oneapi \
         /usr/lib/*/cmake/TBB /usr/lib/cmake/TBB /usr/local/lib/cmake/TBB; do
  [ -d "$d" ] && { mount --bind "$empty_dir" "$d"; hidden=$((hidden + 1)); }
done
for f in /usr/lib/*/pkgconfig/tbb.pc /usr/lib/pkgconfig/tbb.pc /usr/share/pkgconfig/tbb.pc; do
  [ -f "$f" ] && { mount --bind "$empty_file" "$f"; hidden=$((hidden + 1)); }
done

# The dynamic loader's cache still names the system libtbb.so.12; it must be
# an empty file now, or hiding did not work.
# (awk reads to the end: stopping early would kill ldconfig with SIGPIPE.)
cached=$(ldconfig -p | awk '$1 == "libtbb.so.12" && !seen { print $NF; seen = 1 }')
if [ -n "$cached" ] && [ -s "$cached" ]; then
  echo "without_system_tbb: $cached is still readable" >&2
  exit 1
fi
echo "without_system_tbb: $hidden system oneTBB files and folders hidden" >&2
rm -rf "$empty_file" "$empty_dir"  # the mounts keep them; exec would skip the trap
trap - EXIT
exec "$@"
