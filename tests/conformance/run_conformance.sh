#!/usr/bin/env bash
# Runs the conformance program built for this machine's platform and the one
# built for Windows under Wine, each in the ANSI code pages 936 and 1252 and
# each in a fresh folder of its own, and fails on any difference between
# their outputs (shown as a unified diff).
#   run_conformance.sh <host exe> <windows exe> <wine64> <build folder>
set -u
host_exe=$1 win_exe=$2 wine=$3 dir=$4

fail() { echo "conformance: $*" >&2; exit 1; }
[ -x "$host_exe" ] || fail "$host_exe is missing"
[ -f "$win_exe" ] || fail "$win_exe is missing: it needs x86_64-w64-mingw32-g++-posix (scripts/setup installs it)"
[ -n "$wine" ] && [ -x "$wine" ] || fail "wine64 is missing (scripts/setup installs it)"
command -v lnkinfo >/dev/null || fail "lnkinfo is missing (scripts/setup installs it)"
locale -a 2>/dev/null | grep -qix 'zh_CN.utf8' || fail "the zh_CN.UTF-8 locale is missing (scripts/setup makes it)"

export WINEPREFIX="$dir/wineprefix" WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY
wineserver="$(dirname "$wine")/wineserver"
[ -x "$wineserver" ] || wineserver=wineserver

# A fresh folder; a run may leave read-only entries behind.
fresh() {
  if [ -e "$1" ]; then chmod -R u+w "$1" 2>/dev/null; rm -rf "$1"; fi
  mkdir -p "$1"
}

# The fields of a shortcut that lnkinfo reads back, the run folder as <w>.
# Left out: the relative path, which Wine does not write and Windows does,
# what this lnkinfo shows as show command and hot key, which is the
# target's size (Wine writes none of the target's facts), and the shell
# items' times and attributes, for the same reason.
shortcut_fields() {
  local lnk=$1 run=$2 windows_run items run_items="" part
  windows_run="Z:${run//\//\\}"
  echo
  echo "[shortcut as lnkinfo reads it]"
  if [ ! -f "$lnk" ]; then echo "no shortcut"; return; fi
  lnkinfo "$lnk" >"$lnk.info" 2>&1
  tr -d '\r' <"$lnk.info" | sed -n '/^Link target identifier:/q;p' | grep -E \
    '^\s*(Contains |Icon index|Drive type|Local path|Description|Working directory|Command line arguments|Icon location)' |
    grep -v 'Contains a relative path string' |
    while IFS= read -r line; do
      line=${line//"$windows_run"/<w>}
      echo "$line" | sed -e 's/^\s*//' -e 's/\s*:\s*/: /'
    done
  # The shell items as one line: the root folder, the drive, then "dir" or
  # "file" and the name of each path component.
  items=$(tr -d '\r' <"$lnk.info" | sed -n '/^Link target identifier:/,$p' | awk -F'\t*: ' '
    /Shell folder name/ { out = out " | " $2 }
    /Volume name/ { out = out " | " $2 }
    /Class type indicator/ { kind = ($0 ~ /Directory/) ? "dir" : ($0 ~ /File entry/) ? "file" : "" }
    /^\t+Name/ { out = out " | " kind " " $2 }
    END { print substr(out, 4) }')
  for part in ${run//\// }; do run_items="$run_items | dir $part"; done
  echo "shell items: ${items/"$run_items"/ | <w>}"
}

# run_one <run folder> <command...>: the program's output, its exit code and
# the shortcut it left, in <run folder>.out.
run_one() {
  local run=$1; shift
  fresh "$run"
  (cd "$run" && "$@") >"$run.raw" 2>"$run.err"
  local status=$?
  { tr -d '\r' <"$run.raw"; echo "exit: $status"; shortcut_fields "$run/links/sub/Korva.lnk" "$run"; } >"$run.out"
}

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  "$wine" wineboot -i >"$dir/wineboot.log" 2>&1 || fail "wineboot failed: $(cat "$dir/wineboot.log")"
  "$wineserver" -w
fi

host_dir=$(dirname "$host_exe")
win_dir=$(dirname "$win_exe")
status=0
# Our machines take the code page from machine.json, Wine from the locale:
# zh_CN.UTF-8 gives it 936, C.UTF-8 (always there) 1252.
for cp in 936 1252; do
  case $cp in
    936) locale=zh_CN.UTF-8 config='{}' ;;
    1252) locale=C.UTF-8 config='{"acp": 1252}' ;;
  esac
  machine="$host_dir/machine-$cp"
  fresh "$machine"
  echo "$config" >"$machine/machine.json"
  run_one "$host_dir/run-$cp" env WIN32_MACHINE="$machine" "$host_exe"
  run_one "$win_dir/run-$cp" env LANG=$locale LC_ALL=$locale "$wine" "$win_exe"
  if diff -u --label "platform, code page $cp" --label "Wine, code page $cp" \
      "$host_dir/run-$cp.out" "$win_dir/run-$cp.out"; then
    echo "code page $cp: $(grep -c . "$host_dir/run-$cp.out") lines alike"
  else
    echo "code page $cp differs; the runs and what they wrote: $host_dir/run-$cp, $win_dir/run-$cp"
    status=1
  fi
done
"$wineserver" -k 2>/dev/null
exit $status
