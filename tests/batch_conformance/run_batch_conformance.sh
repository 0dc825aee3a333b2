#!/usr/bin/env bash
# Runs the self-update batch file that the real update.exe writes, once with
# this platform's cmdbat and once with Wine's cmd.exe, each from its own copy
# of the machine as update.exe left it, and fails when the two leave
# different files behind, start the new updater differently or run other
# commands (shown as a unified diff), or when either gets the update itself
# wrong. On both sides it also runs the batch file while the old updater is
# still running: the new one must replace it only once it has ended.
#   run_batch_conformance.sh <update_batch_capture> <capture_batch.sh> <cmdbat> <korva_stub>
#                            <updater_probe.exe> <wine64> <build folder>
set -u
capture=$(realpath "$1") capture_script=$(realpath "$2") cmdbat=$(realpath "$3") stub=$(realpath "$4")
probe=$(realpath "$5") wine=$6 dir=$(realpath "$7")

fail() { echo "batch conformance: $*" >&2; exit 1; }
[ -x "$capture" ] || fail "$capture is missing"
[ -x "$cmdbat" ] || fail "$cmdbat is missing"
[ -x "$stub" ] || fail "$stub is missing"
[ -f "$probe" ] || fail "$probe is missing: it needs x86_64-w64-mingw32-gcc-posix (scripts/setup installs it)"
[ -n "$wine" ] && [ -x "$wine" ] || fail "wine64 is missing (scripts/setup installs it)"
locale -a 2>/dev/null | grep -qix 'zh_CN.utf8' || fail "the zh_CN.UTF-8 locale is missing (scripts/setup makes it)"

export WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY WIN32_MACHINE WIN32_CMDBAT
wineserver="$(dirname "$wine")/wineserver"
[ -x "$wineserver" ] || wineserver=wineserver
# A batch run ends well within this (its own waits are 30 s at most, plus 5 s).
run_limit=60
# The old updater's life in the runs that start while it still runs, and how
# long after its end the batch file may take to replace it: it probes about
# once a second, and a loaded machine starts programs slowly.
old_life_ms=4000
old_slack_ms=5000
# The case whose machine the old-updater runs use.
old_case=ampersand

now_ms() { date +%s%3N; }
began=$(now_ms)

# One prefix is booted once and kept; each run gets a small prefix of its own
# (its registry copied from that one) whose drive C: is the run's c/ folder,
# so that the runs can go at the same time. C:\windows is a link to the
# booted prefix's, taken out again before the run's files are compared.
base="$dir/wineprefix"
if [ ! -f "$base/system.reg" ]; then
  mkdir -p "$base"
  WINEPREFIX="$base" "$wine" wineboot -i >"$dir/wineboot.log" 2>&1 || fail "wineboot failed: $(cat "$dir/wineboot.log")"
  WINEPREFIX="$base" "$wineserver" -w
fi

runs="$dir/runs"
if [ -e "$runs" ]; then chmod -R u+w "$runs" 2>/dev/null; rm -rf "$runs"; fi
mkdir -p "$runs"

# 1. The batch files of the real update.exe, one machine per install folder.
# The platform runs its interpreter as a program: a copy that surely can run.
install -m 755 "$capture_script" "$runs/capture_batch.sh"
KORVA_BATCH_OUT="$runs" KORVA_BATCH_CAPTURE_PROGRAM="$runs/capture_batch.sh" "$capture" >"$runs/capture.out" 2>&1 ||
  { cat "$runs/capture.out"; fail "update.exe did not leave its batch files (above)"; }
cases=$(cd "$runs" && for c in */case.txt; do dirname "$c"; done)
[ -n "$cases" ] || fail "no batch file was captured"
captured=$(now_ms)

fact() { sed -n "s/^$2=//p" "$runs/$1/case.txt"; }
# A text member of a JSON line whose texts hold no quotes.
json_text() { echo "$1" | sed -n "s/.*\"$2\":\"\([^\"]*\)\".*/\1/p" | sed 's/\\\\/\\/g'; }
md5_of() { md5sum <"$1" | cut -d' ' -f1; }

# The folders Wine makes for its user at start-up, made on both sides alike.
wine_user=$(id -un)
for c in $cases; do
  mkdir -p "$runs/$c/machine/c/Users/$wine_user/AppData/Roaming" "$runs/$c/machine/c/Users/$wine_user/AppData/Local"
done

# A copy of the case's machine for one run. On the Windows side the package's
# new updater becomes the probe (with the mark that tells it from the old one).
prepare() {
  local c=$1 copy="$runs/$1/$2" new=${3:-} work
  cp -a "$runs/$c/machine" "$copy"
  work="$copy/$(fact "$c" cwd)"
  if [ -n "$new" ]; then
    { cat "$new"; printf '\n#new updater\n'; } >"$work/update_update/update.exe"
  fi
  md5_of "$work/update_update/update.exe" >"$copy.new-md5"
}

# run_cmdbat <case> <side> [old]: with "old" the product stub runs from
# <exe dir>update.exe on this machine when the batch file starts, for
# old_life_ms.
run_cmdbat() {
  local c=$1 old=${3:-} copy="$runs/$1/$2" old_pid="" run exe_dir
  prepare "$c" "$2"
  if [ -n "$old" ]; then
    exe_dir="$copy/$(fact "$c" exe_dir)"
    cp "$stub" "$exe_dir/update.exe"
    (cd "$exe_dir" && WIN32_MACHINE="$copy" exec ./update.exe --stay) >"$copy.old.log" 2>&1 &
    old_pid=$!
    for _ in $(seq 200); do [ -s "$copy/stub-runs.jsonl" ] && break; sleep 0.1; done
    # Its end is noted just before it is ended, so no copy can come before.
    (sleep "$(printf '%d.%03d' $((old_life_ms / 1000)) $((old_life_ms % 1000)))"; now_ms >"$copy.ended"; kill "$old_pid") &
  fi
  now_ms >"$copy.begin"
  # As the platform's ShellExecuteExW starts it: in the work folder, with the
  # batch file's host path.
  (cd "$copy/$(fact "$c" cwd)" && WIN32_MACHINE="$copy" timeout $run_limit "$cmdbat" "$copy/$(fact "$c" batch)") \
    >"$copy.log" 2>&1
  echo $? >"$copy.status"
  [ -n "$old_pid" ] && wait
  # The stub as the new updater: "<path>|<folder>" of each start without
  # arguments (the old updater's has one).
  touch "$copy/stub-runs.jsonl"
  grep -F '"args":[]' "$copy/stub-runs.jsonl" | while IFS= read -r run; do
    echo "$(json_text "$run" windows_path)|$(json_text "$run" windows_cwd)"
  done >"$copy.starts"
}

# run_wine <case> <side> [old]: with "old" the probe runs from
# <exe dir>update.exe when the batch file starts, for old_life_ms.
run_wine() {
  local c=$1 old=${3:-} copy="$runs/$1/$2" old_pid=""
  local prefix="$copy.prefix"
  prepare "$c" "$2" "$probe"
  mkdir -p "$prefix/dosdevices"
  cp "$base"/*.reg "$base/.update-timestamp" "$prefix/"
  ln -s "$copy/c" "$prefix/dosdevices/c:"
  ln -s / "$prefix/dosdevices/z:"
  ln -s "$base/drive_c/windows" "$copy/c/windows"
  export WINEPREFIX="$prefix" KORVA_PROBE_LOG="Z:$copy.probe.log" LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8
  if [ -n "$old" ]; then
    cp "$probe" "$copy/$(fact "$c" exe_dir)/update.exe"
    "$wine" "$(fact "$c" exe_dir_windows)\\update.exe" --live $old_life_ms >"$copy.old.log" 2>&1 &
    old_pid=$!
    for _ in $(seq 200); do grep -q '^running ' "$copy.probe.log" 2>/dev/null && break; sleep 0.1; done
  fi
  now_ms >"$copy.begin"
  # Wine starts a batch file as Windows does, through cmd.exe /c with the
  # quoted command line ("%0" is the quoted path).
  (cd "$copy/$(fact "$c" cwd)" && timeout $run_limit "$wine" "$(fact "$c" batch_windows)") >"$copy.log" 2>&1
  echo $? >"$copy.status"
  [ -n "$old_pid" ] && wait "$old_pid"
  "$wineserver" -k 2>/dev/null
  rm -f "$copy/c/windows"
  touch "$copy.probe.log"
  tr -d '\r' <"$copy.probe.log" | sed -n 's/^started [0-9]* //p' >"$copy.starts"
  sed -n 's/^ended \([0-9]*\) .*/\1/p' "$copy.probe.log" >"$copy.ended"
}

# When a file was last written, against the case's machine as update.exe
# left it: kept, the time of the same file of the package (copy keeps the
# source's time), or changed. To 100 ns, the precision of Windows file times.
write_time() {
  local c=$1 copy=$2 entry=$3 t snapshot="$runs/$1/machine" in_exe_dir package
  t=$(stat -c %.7Y "$copy/c/$entry")
  if [ -e "$snapshot/c/$entry" ] && [ "$(stat -c %.7Y "$snapshot/c/$entry")" = "$t" ]; then
    echo "time kept"
    return
  fi
  in_exe_dir=${entry#"$(fact "$c" exe_dir | cut -d/ -f2-)/"}
  package="$snapshot/$(fact "$c" cwd)/update_update/$in_exe_dir"
  if [ "$in_exe_dir" != "$entry" ] && [ -e "$package" ] && [ "$(stat -c %.7Y "$package")" = "$t" ]; then
    echo "time of the package's file"
  else
    echo "time changed"
  fi
}

# What a run left, normalised: every entry under C: (files by content and
# write time, the updaters by which one they are), then the starts of the new
# updater.
report() {
  local c=$1 copy="$runs/$1/$2" new old entry sum
  new=$(cat "$copy.new-md5")
  old=$(md5_of "$runs/$c/machine/$(fact "$c" exe_dir)/update.exe")
  echo "[entries under C:]"
  (cd "$copy/c" && find . -mindepth 1 | LC_ALL=C sort) | while IFS= read -r entry; do
    entry=${entry#./}
    if [ -d "$copy/c/$entry" ]; then
      echo "$entry/"
      continue
    fi
    sum=$(md5_of "$copy/c/$entry")
    # The updaters differ by side, and so do their times.
    case $sum in
      "$new") echo "$entry <new updater>" ;;
      "$old") echo "$entry <old updater>" ;;
      *) echo "$entry $sum, $(write_time "$c" "$copy" "$entry")" ;;
    esac
  done
  echo
  echo "[starts of the new updater: path|working folder]"
  cat "$copy.starts"
}

# The commands the interpreter ran, from its echo of each line: the current
# folder and the command's first word ("C:\dir>copy"). Labels are left out,
# as Windows does not echo them.
trace() {
  echo "[commands run: folder>command]"
  tr -d '\r' <"$runs/$1/$2.log" | iconv -c -f GBK -t UTF-8 |
    sed -n -e 's/^\([A-Za-z]:\\[^>]*>\)\("[^"]*"\).*/\1\2/p' -e t -e 's/^\([A-Za-z]:\\[^>]*>\)\([^: ][^ ]*\).*/\1\2/p'
}

# The update itself, on one side: failures are printed; false when any.
check() {
  local c=$1 side=$2 copy="$runs/$1/$2" exe_dir package file expected
  exe_dir="$copy/$(fact "$c" exe_dir)"
  package="$runs/$c/machine/$(fact "$c" cwd)/update_update"
  expected="$(fact "$c" exe_dir_windows)\\update.exe|$(fact "$c" exe_dir_windows)"
  {
    [ "$(cat "$copy.status")" = 124 ] && echo "the batch file did not end within $run_limit s"
    [ "$(wc -l <"$copy.starts")" = 1 ] || echo "the new updater was started $(wc -l <"$copy.starts") times, not once"
    [ "$(head -n 1 "$copy.starts")" = "$expected" ] ||
      echo "the new updater was started as $(head -n 1 "$copy.starts"), not as $expected (path|working folder)"
    [ -e "$copy/$(fact "$c" cwd)/update_update" ] && echo "update_update is still there"
    [ -e "$copy/$(fact "$c" batch)" ] && echo "update.bat is still there"
    (cd "$package" && find . -type f) | while IFS= read -r file; do
      if [ "$file" = ./update.exe ]; then
        [ -f "$exe_dir/$file" ] && [ "$(md5_of "$exe_dir/$file")" = "$(cat "$copy.new-md5")" ]
      else
        cmp -s "$package/$file" "$exe_dir/$file"
      fi || echo "${file#./} of the new updater is not in place"
    done
  } | sed "s|^|$side, $c: |" >"$copy.problems"
  cat "$copy.problems"
  [ -s "$copy.problems" ] || return 0
  echo "$side, $c: the interpreter's output is in $copy.log"
  return 1
}

# With the old updater running: the same result as without it, and
# update.exe replaced after its end, soon after.
check_old() {
  local c=$1 side=$2 copy="$runs/$1/$2-old" begin ended replaced
  check "$c" "$side-old" || return 1
  diff -u --label "$side, $c" --label "$side, $c, the old updater running" "$runs/$c/$side.files" "$copy.files" ||
    return 1
  begin=$(cat "$copy.begin") ended=$(cat "$copy.ended")
  [ -n "$ended" ] || { echo "$side, $c, the old updater running: it did not note its end"; return 1; }
  replaced=$(stat -c %.3Z "$copy/$(fact "$c" exe_dir)/update.exe" | tr -d .)
  echo "$side, $c, the old updater running: it ended $((ended - begin)) ms after the batch file started," \
    "update.exe was replaced $((replaced - begin)) ms after"
  if [ "$replaced" -lt "$ended" ]; then
    echo "$side, $c, the old updater running: update.exe was replaced while it ran"
    return 1
  fi
  if [ $((replaced - ended)) -gt $old_slack_ms ]; then
    echo "$side, $c, the old updater running: update.exe was replaced $((replaced - ended)) ms after its end"
    return 1
  fi
}

# 2. Every run at once: the batch file's own waits dominate.
for c in $cases; do
  run_cmdbat "$c" cmdbat &
  run_wine "$c" wine &
done
if echo "$cases" | grep -qx "$old_case"; then
  run_cmdbat "$old_case" cmdbat-old old &
  run_wine "$old_case" wine-old old &
fi
wait
ran=$(now_ms)

for c in $cases; do
  for side in cmdbat wine cmdbat-old wine-old; do
    [ -f "$runs/$c/$side.status" ] || continue
    { report "$c" $side >"$runs/$c/$side.files"; trace "$c" $side >"$runs/$c/$side.trace"; } &
  done
done
wait

# 3. The comparison.
status=0
for c in $cases; do
  check "$c" cmdbat || status=1
  check "$c" wine || status=1
  for side in cmdbat wine; do
    { cat "$runs/$c/$side.files"; echo; cat "$runs/$c/$side.trace"; } >"$runs/$c/$side.out"
  done
  if diff -u --label "cmdbat, $c" --label "Wine, $c" "$runs/$c/cmdbat.out" "$runs/$c/wine.out"; then
    echo "$c ($(fact "$c" exe_dir_windows)): $(grep -c . "$runs/$c/cmdbat.out") lines alike"
  else
    echo "$c differs; the batch file is $runs/$c/interpreter.txt.bat, the runs $runs/$c/cmdbat and $runs/$c/wine"
    status=1
  fi
done

# 4. The old updater still running.
if [ -f "$runs/$old_case/wine-old.status" ]; then
  check_old "$old_case" wine || status=1
  check_old "$old_case" cmdbat || status=1
fi

# The machines' copies are large; a failure keeps them for a look.
if [ $status = 0 ]; then
  for c in $cases; do
    for copy in machine cmdbat wine cmdbat-old wine-old; do rm -rf "${runs:?}/$c/$copy" "$runs/$c/$copy.prefix"; done
  done
fi
echo "captured in $((captured - began)) ms, ran in $((ran - captured)) ms, compared in $(($(now_ms) - ran)) ms"
exit $status
