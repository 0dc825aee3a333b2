#!/usr/bin/env bash
# Compiles every product source (shared/, installer/, updater/) with a
# mingw-w64 compiler against its own Windows headers, syntax only, and fails
# on any error or warning, printing the compiler's diagnostics per source.
#   compile_product_sources.sh <compiler> <source root> <window library include> <third-party include>
set -u
cxx=$1 root=$2 window_library=$3 third_party=$4

command -v "$cxx" >/dev/null || { echo "$cxx is missing (scripts/setup installs it)" >&2; exit 1; }

# Third-party headers are system headers: their own warnings are not ours.
flags=(-fsyntax-only -std=c++17 -Wall -Werror -DUNICODE -D_UNICODE
       -I"$root" -I"$window_library" -isystem "$third_party")

shopt -s nullglob
sources=("$root"/shared/*.cpp "$root"/installer/*.cpp "$root"/updater/*.cpp)
[ ${#sources[@]} -gt 0 ] || { echo "no product sources under $root" >&2; exit 1; }

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

jobs_max=$(nproc)
for i in "${!sources[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs_max" ]; do wait -n; done
  ( "$cxx" "${flags[@]}" "${sources[$i]}" >"$out/$i.log" 2>&1; echo $? >"$out/$i.rc" ) &
done
wait

failed=0
for i in "${!sources[@]}"; do
  name=${sources[$i]#"$root"/}
  if [ "$(cat "$out/$i.rc")" != 0 ] || [ -s "$out/$i.log" ]; then
    failed=$((failed + 1))
    echo "== $name"
    cat "$out/$i.log"
  fi
done
echo "$((${#sources[@]} - failed)) of ${#sources[@]} product sources compile cleanly with $cxx"
[ "$failed" -eq 0 ]
