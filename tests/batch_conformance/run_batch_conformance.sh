#!/usr/bin/env bash
# Runs the self-update batch file that the real update.exe writes, once with
# this platform's cmdbat and once with Wine's cmd.exe, each from its own copy
# of the machine as update.exe left it, and fails when the two leave
# different files behind, start programs differently or run other commands
# (shown as a unified diff), or when either gets the update itself wrong. On
# both sides it also runs the batch file
# - while the old updater is still running: the new one must replace it only
#   once it has ended;
# - while the old updater runs past the batch file's wait, and while the
#   folder's launch.exe runs (so that it cannot be replaced): the folder must
#   end as one whole updater, file by file, and the records must name it; a
#   given-up batch file must start the folder's launch.exe once and not the
#   old updater (it would offer the same update over and over); the two sides
#   must agree;
# - while launch.exe runs, with the copies' checks taken out of the batch
#   file: those checks must then be seen to fail, so that they have teeth.
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
# A batch run ends well within this: its wait is 30 rounds of a second at
# most (longer under Wine, which starts ping as a program each round), then
# 5 s after the new updater has ended.
run_limit=120
# The old updater's life in the runs that start while it still runs, and how
# long after its end the batch file may take to replace it: it probes about
# once a second, and a loaded machine starts programs slowly.
old_life_ms=4000
old_slack_ms=5000
# The case whose machine the runs with a program running use.
old_case=ampersand
# Those runs, and what runs in them.
held_modes="old stuck held unchecked"

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
# The "updateupdate" version an update.json records; "none" without the file.
recorded() {
  if [ -f "$1" ]; then
    tr -d '\r\n\t ' <"$1" | sed -n 's/.*"updateupdate":{[^}]*"version":"\([^"]*\)".*/\1/p'
  else
    echo none
  fi
}

# The folders Wine makes for its user at start-up, made on both sides alike.
wine_user=$(id -un)
for c in $cases; do
  mkdir -p "$runs/$c/machine/c/Users/$wine_user/AppData/Roaming" "$runs/$c/machine/c/Users/$wine_user/AppData/Local"
done

# A copy of the case's machine for one run. On the Windows side the package's
# new updater becomes the probe (with the mark that tells it from the old one).
# $copy.labels names the updaters by content ("<md5> <label>") for report.
prepare() {
  local c=$1 copy="$runs/$1/$2" new=${3:-} work
  cp -a "$runs/$c/machine" "$copy"
  work="$copy/$(fact "$c" cwd)"
  if [ -n "$new" ]; then
    { cat "$new"; printf '\n#new updater\n'; } >"$work/update_update/update.exe"
  fi
  md5_of "$work/update_update/update.exe" >"$copy.new-md5"
  {
    echo "$(cat "$copy.new-md5") <new updater>"
    echo "$(md5_of "$runs/$c/machine/$(fact "$c" exe_dir)/update.exe") <old updater>"
  } >"$copy.labels"
}

# place <case> <side> <file> <program> <label>: the program, with a mark of
# its own, becomes <exe dir><file> of the run's machine, named by its label.
place() {
  local target
  target="$runs/$1/$2/$(fact "$1" exe_dir)/$3"
  { cat "$4"; printf '\n#%s\n' "$5"; } >"$target"
  chmod 755 "$target"
  echo "$(md5_of "$target") <$5>" >>"$runs/$1/$2.labels"
}

# The program a mode runs from the updater's folder while the batch file
# runs, and its label.
holder_of() {
  case $1 in
    old | stuck) echo "update.exe old updater" ;;
    held | unchecked) echo "launch.exe running launcher" ;;
  esac
}

# place_programs <case> <side> <mode> <program>: the program of the side
# becomes the holder of the mode and, unless that is it, the folder's
# launch.exe, which a given-up batch file starts.
place_programs() {
  local holder
  holder=$(holder_of "$3")
  [ -n "$holder" ] && place "$1" "$2" ${holder%% *} "$4" "${holder#* }"
  [ "${holder%% *}" = launch.exe ] || place "$1" "$2" launch.exe "$4" launcher
}

# The lines that check the copies of a batch file, and a batch file without them.
copy_check='^if errorlevel 1 goto korva_undo'
uncheck() { LC_ALL=C sed -i "/$copy_check/d" "$1"; }

# ",read-only" for a file that carries the flag: both this platform and Wine
# keep it as the owner's missing write permission (root may write anyway).
read_only() { [ $((0$(stat -c %a "$1") & 0200)) -ne 0 ] || echo ",read-only"; }

# Every entry under C: with its content, write time and read-only flag: a
# run's machine before and after it.
listing() {
  (cd "$1/c" && find . -mindepth 1 ! -path ./windows | LC_ALL=C sort) | while IFS= read -r entry; do
    entry=${entry#./}
    if [ -d "$1/c/$entry" ]; then
      echo "$entry/"
    else
      echo "$entry $(md5_of "$1/c/$entry") $(stat -c %.7Y "$1/c/$entry")$(read_only "$1/c/$entry")"
    fi
  done
}

# run_cmdbat <case> <side> [mode]: with a mode, the stub runs as the program
# holder_of names, on this machine, when the batch file starts: for
# old_life_ms in mode "old", else until the batch file has ended.
run_cmdbat() {
  local c=$1 mode=${3:-} copy="$runs/$1/$2" holder_pid="" run exe_dir holder
  prepare "$c" "$2"
  holder=$(holder_of "$mode")
  place_programs "$c" "$2" "$mode" "$stub"
  [ "$mode" = unchecked ] && uncheck "$copy/$(fact "$c" batch)"
  listing "$copy" >"$copy.before"
  if [ -n "$holder" ]; then
    exe_dir="$copy/$(fact "$c" exe_dir)"
    (cd "$exe_dir" && WIN32_MACHINE="$copy" exec "./${holder%% *}" --stay) >"$copy.holder.log" 2>&1 &
    holder_pid=$!
    for _ in $(seq 200); do [ -s "$copy/stub-runs.jsonl" ] && break; sleep 0.1; done
  fi
  if [ "$mode" = old ]; then
    # Its end is noted just before it is ended, so no copy can come before.
    (sleep "$(printf '%d.%03d' $((old_life_ms / 1000)) $((old_life_ms % 1000)))"; now_ms >"$copy.ended"; kill "$holder_pid") &
  fi
  now_ms >"$copy.begin"
  # As the platform's ShellExecuteExW starts it: in the work folder, with the
  # batch file's host path.
  (cd "$copy/$(fact "$c" cwd)" && WIN32_MACHINE="$copy" timeout $run_limit "$cmdbat" "$copy/$(fact "$c" batch)") \
    >"$copy.log" 2>&1
  echo $? >"$copy.status"
  if [ -n "$holder_pid" ]; then
    kill -0 "$holder_pid" 2>/dev/null && echo "${holder%% *}" >"$copy.held"
    [ "$mode" = old ] || kill "$holder_pid" 2>/dev/null
    wait
  fi
  # A program the batch file started without waiting notes its start as it
  # begins: once none runs from this machine, all have.
  for _ in $(seq 300); do
    find /proc -mindepth 2 -maxdepth 2 -name exe -lname "$copy/*" 2>/dev/null | grep -q . || break
    sleep 0.1
  done
  # The stub as the new updater or the launcher: "<path>|<folder>" of each
  # start without arguments (the program held running has one).
  touch "$copy/stub-runs.jsonl"
  grep -F '"args":[]' "$copy/stub-runs.jsonl" | while IFS= read -r run; do
    echo "$(json_text "$run" windows_path)|$(json_text "$run" windows_cwd)"
  done >"$copy.starts"
}

# run_wine <case> <side> [mode]: with a mode, the probe runs as the program
# holder_of names when the batch file starts: for old_life_ms in mode "old",
# else until the batch file has ended.
run_wine() {
  local c=$1 mode=${3:-} copy="$runs/$1/$2" holder_pid="" holder life=$old_life_ms
  local prefix="$copy.prefix"
  prepare "$c" "$2" "$probe"
  holder=$(holder_of "$mode")
  place_programs "$c" "$2" "$mode" "$probe"
  [ "$mode" = unchecked ] && uncheck "$copy/$(fact "$c" batch)"
  # Longer than any batch run; it is ended once the batch file has.
  [ "$mode" = old ] || life=$((run_limit * 2000))
  listing "$copy" >"$copy.before"
  mkdir -p "$prefix/dosdevices"
  cp "$base"/*.reg "$base/.update-timestamp" "$prefix/"
  ln -s "$copy/c" "$prefix/dosdevices/c:"
  ln -s / "$prefix/dosdevices/z:"
  ln -s "$base/drive_c/windows" "$copy/c/windows"
  export WINEPREFIX="$prefix" KORVA_PROBE_LOG="Z:$copy.probe.log" LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8
  # The hidden and system flags that this platform keeps its own way, set on
  # Wine's side by its attrib, one flag a command (Wine's takes only the last
  # of several): a batch file in the ANSI code page, "%" doubled.
  if [ -s "$runs/$c/flags.txt" ]; then
    {
      printf '@echo off\r\n'
      while IFS='|' read -r path flags; do
        for flag in $flags; do printf 'attrib %s "%s"\r\n' "$flag" "${path//%/%%}"; done
        printf 'attrib "%s"\r\n' "${path//%/%%}"
      done <"$runs/$c/flags.txt"
    } | iconv -f UTF-8 -t GBK >"$copy.flags.bat"
    "$wine" cmd /c "Z:${copy//\//\\}.flags.bat" >"$copy.flags.log" 2>&1
    # Each of those files is hidden: attrib lists them with an H.
    [ "$(tr -d '\r' <"$copy.flags.log" | grep -c '^.\{0,11\}H')" = "$(grep -c . "$runs/$c/flags.txt")" ] ||
      echo "Wine's files did not take their hidden flags (see $copy.flags.log)" >"$copy.flags.missing"
  fi
  if [ -n "$holder" ]; then
    "$wine" "$(fact "$c" exe_dir_windows)\\${holder%% *}" --live $life >"$copy.holder.log" 2>&1 &
    holder_pid=$!
    for _ in $(seq 200); do grep -q '^running ' "$copy.probe.log" 2>/dev/null && break; sleep 0.1; done
  fi
  now_ms >"$copy.begin"
  # Wine starts a batch file as Windows does, through cmd.exe /c with the
  # quoted command line ("%0" is the quoted path).
  (cd "$copy/$(fact "$c" cwd)" && timeout $run_limit "$wine" "$(fact "$c" batch_windows)") >"$copy.log" 2>&1
  echo $? >"$copy.status"
  if [ -n "$holder_pid" ]; then
    kill -0 "$holder_pid" 2>/dev/null && echo "${holder%% *}" >"$copy.held"
    [ "$mode" = old ] || kill "$holder_pid" 2>/dev/null
    wait "$holder_pid" 2>/dev/null
  fi
  # A program the batch file started without waiting notes its start as it
  # begins; the run's wineserver ends once every program of the run has.
  timeout 60 "$wineserver" -w
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
# write time, the programs of $copy.labels by their label), then the starts
# of the new updater and the interpreter's exit code. Read-only flags are
# left out: Wine's copy over an existing file does not carry the source's,
# which Windows' does (and this platform's), so each side's flags are held
# to what that side had before its run (check_whole) instead.
report() {
  local c=$1 copy="$runs/$1/$2" entry sum label
  echo "[entries under C:]"
  (cd "$copy/c" && find . -mindepth 1 | LC_ALL=C sort) | while IFS= read -r entry; do
    entry=${entry#./}
    if [ -d "$copy/c/$entry" ]; then
      echo "$entry/"
      continue
    fi
    sum=$(md5_of "$copy/c/$entry")
    # The programs differ by side, and so do their times.
    label=$(sed -n "s/^$sum //p" "$copy.labels" | head -n 1)
    if [ -n "$label" ]; then
      echo "$entry $label"
    else
      echo "$entry $sum, $(write_time "$c" "$copy" "$entry")"
    fi
  done
  echo
  echo "[programs started: path|working folder]"
  cat "$copy.starts"
  # The errorlevel the batch file ends with: the interpreters must agree on
  # what each command leaves there.
  echo
  echo "[exit code of the interpreter]"
  cat "$copy.status"
}

# The commands the interpreter ran, from its echo of each line: the current
# folder and the command's first word ("C:\dir>copy"). Labels are left out,
# as Windows does not echo them.
trace() {
  echo "[commands run: folder>command]"
  tr -d '\r' <"$runs/$1/$2.log" | iconv -c -f GBK -t UTF-8 |
    sed -n -e 's/^\([A-Za-z]:\\[^>]*>\)\("[^"]*"\).*/\1\2/p' -e t -e 's/^\([A-Za-z]:\\[^>]*>\)\([^: ][^ ]*\).*/\1\2/p'
}

# Prints the problems of one run, with the side and case before each, and a
# pointer to the interpreter's output; false when there were any.
problems_of() {
  sed "s|^|$2, $1: |" >"$runs/$1/$2.problems"
  cat "$runs/$1/$2.problems"
  [ -s "$runs/$1/$2.problems" ] || return 0
  echo "$2, $1: the interpreter's output is in $runs/$1/$2.log"
  return 1
}

# What the batch file leaves in the work folder, and the interpreter's end.
check_ending() {
  local copy="$runs/$1/$2" leftover
  [ -f "$copy.flags.missing" ] && cat "$copy.flags.missing"
  [ "$(cat "$copy.status")" = 124 ] && echo "the batch file did not end within $run_limit s"
  for leftover in update_update update_kept update.bat; do
    [ -e "$copy/$(fact "$1" cwd)/$leftover" ] && echo "$leftover is still there"
  done
}

# The records of the new updater: both update.json files name its version.
check_new_records() {
  local copy="$runs/$1/$2" record version
  for record in product_config updater_config; do
    version=$(recorded "$copy/$(fact "$1" $record)")
    [ "$version" = "$(fact "$1" new_version)" ] ||
      echo "the new updater is in place, but $(fact "$1" $record) records \"$version\""
  done
}

# The new updater in place: each of its files, started once from its folder,
# and the records naming it. Prints what is wrong.
new_updater_problems() {
  local c=$1 side=$2 copy="$runs/$1/$2" exe_dir package file expected
  exe_dir="$copy/$(fact "$c" exe_dir)"
  package="$runs/$c/machine/$(fact "$c" cwd)/update_update"
  expected="$(fact "$c" exe_dir_windows)\\update.exe|$(fact "$c" exe_dir_windows)"
  [ "$(wc -l <"$copy.starts")" = 1 ] || echo "the new updater was started $(wc -l <"$copy.starts") times, not once"
  [ "$(head -n 1 "$copy.starts")" = "$expected" ] ||
    echo "the new updater was started as $(head -n 1 "$copy.starts"), not as $expected (path|working folder)"
  (cd "$package" && find . -type f) | while IFS= read -r file; do
    is_new "$c" "$side" "${file#./}" || echo "${file#./} of the new updater is not in place"
  done
  check_new_records "$c" "$side"
}

# The update itself, on one side: failures are printed; false when any.
check() {
  { check_ending "$1" "$2"; new_updater_problems "$1" "$2"; } | problems_of "$1" "$2"
}

# is_new <case> <side> <file of the package>: that file of the updater's
# folder is the package's.
is_new() {
  local target="$runs/$1/$2/$(fact "$1" exe_dir)/$3"
  [ -f "$target" ] || return 1
  if [ "$3" = update.exe ]; then
    [ "$(md5_of "$target")" = "$(cat "$runs/$1/$2.new-md5")" ]
  else
    cmp -s "$runs/$1/machine/$(fact "$1" cwd)/update_update/$3" "$target"
  fi
}

# is_old <case> <side> <file of the package>: that file of the updater's
# folder is as it was before the run, or still missing; the updater's record
# is as the installation left it.
is_old() {
  local copy="$runs/$1/$2" path before
  path="$(fact "$1" exe_dir | cut -d/ -f2-)/$3"
  if [ "$(fact "$1" exe_dir)/$3" = "$(fact "$1" updater_config)" ]; then
    if [ -f "$runs/$1/records/updater_config" ]; then
      cmp -s "$runs/$1/records/updater_config" "$copy/c/$path"
    else
      [ ! -e "$copy/c/$path" ]
    fi
    return
  fi
  before=$(awk -v p="$path" 'substr($0, 1, length(p) + 1) == p " " && split(substr($0, length(p) + 2), f, " ") == 2 {
    print f[1] }' "$copy.before")
  if [ -z "$before" ]; then
    [ ! -e "$copy/c/$path" ]
  else
    [ -f "$copy/c/$path" ] && [ "$(md5_of "$copy/c/$path")" = "$before" ]
  fi
}

# A run in which the batch file cannot simply replace the updater. The
# updater's folder must hold one updater whole, file by file: the new one,
# recorded as new and started once from its folder; or the old one, with
# the records as the installation left them, every other entry under C: as
# before the run (times too) and only the launcher started, once from its
# folder: the old updater would only offer the same update again.
check_whole() {
  local c=$1 side=$2 copy="$runs/$1/$2" file news=0 olds=0 total=0 record work records_re launcher
  : >"$copy.mixed"
  while IFS= read -r file; do
    file=${file#./}
    total=$((total + 1))
    if is_new "$c" "$side" "$file"; then
      news=$((news + 1))
      echo "$file new" >>"$copy.mixed"
    elif is_old "$c" "$side" "$file"; then
      olds=$((olds + 1))
      echo "$file old" >>"$copy.mixed"
    else
      echo "$file neither" >>"$copy.mixed"
    fi
  done < <(cd "$runs/$c/machine/$(fact "$c" cwd)/update_update" && find . -type f | LC_ALL=C sort)
  {
    check_ending "$c" "$side"
    [ -s "$copy.held" ] || echo "the program held running had ended before the batch file did"
    if [ $news = $total ]; then
      new_updater_problems "$c" "$side"
    elif [ $olds = $total ]; then
      launcher="$(fact "$c" exe_dir_windows)\\launch.exe|$(fact "$c" exe_dir_windows)"
      [ "$(cat "$copy.starts")" = "$launcher" ] || echo "the old updater is in place, but the batch file started" \
        "[$(paste -sd, "$copy.starts")], not the launcher once as $launcher (path|working folder)"
      for record in product_config updater_config channel_file; do
        if [ -f "$runs/$c/records/$record" ]; then
          cmp -s "$runs/$c/records/$record" "$copy/$(fact "$c" $record)" ||
            echo "the old updater is in place, but $(fact "$c" $record) is not as the installation left it" \
              "(it records \"$(recorded "$copy/$(fact "$c" $record)")\")"
        elif [ -e "$copy/$(fact "$c" $record)" ]; then
          echo "the old updater is in place, but $(fact "$c" $record) is there (it records" \
            "\"$(recorded "$copy/$(fact "$c" $record)")\"), which the installation did not leave"
        fi
      done
      # Everything else as it was; the work folder loses the update's files.
      work=$(fact "$c" cwd | cut -d/ -f2-)
      records_re=$(for record in product_config updater_config channel_file; do fact "$c" $record | cut -d/ -f2-; done |
        sed 's/[][\.*^$()+?{}|]/\\&/g' | paste -sd'|')
      diff <(grep -v -E "^($records_re) " "$copy.before" |
        grep -v -F -e "$work/update_update" -e "$work/update_kept" -e "$work/update.bat ") \
        <(listing "$copy" | grep -v -E "^($records_re) ") |
        sed -n -e 's/^< /before the run, not after it: /p' -e 's/^> /after the run, not before it: /p'
    else
      echo "the updater's folder is neither the old updater nor the new one: $(paste -sd, "$copy.mixed")"
    fi
  } | problems_of "$c" "$side"
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

# Compares what the two sides left and ran; false when they differ.
compare_sides() {
  local c=$1 mode=${2:-} side
  local suffix=${mode:+-$mode}
  for side in cmdbat wine; do
    { cat "$runs/$c/$side$suffix.files"; echo; cat "$runs/$c/$side$suffix.trace"; } >"$runs/$c/$side$suffix.out"
  done
  if diff -u --label "cmdbat, $c$suffix" --label "Wine, $c$suffix" "$runs/$c/cmdbat$suffix.out" "$runs/$c/wine$suffix.out"; then
    echo "$c$suffix ($(fact "$c" exe_dir_windows)): $(grep -c . "$runs/$c/cmdbat$suffix.out") lines alike"
  else
    echo "$c$suffix differs; the batch file is $runs/$c/interpreter.txt.bat, the runs $runs/$c/cmdbat$suffix and" \
      "$runs/$c/wine$suffix"
    return 1
  fi
}

# 2. Every run at once: the batch file's own waits dominate.
for c in $cases; do
  run_cmdbat "$c" cmdbat &
  run_wine "$c" wine &
done
if echo "$cases" | grep -qx "$old_case"; then
  for mode in $held_modes; do
    run_cmdbat "$old_case" "cmdbat-$mode" "$mode" &
    run_wine "$old_case" "wine-$mode" "$mode" &
  done
fi
wait
ran=$(now_ms)

for c in $cases; do
  for side in cmdbat wine; do
    for suffix in "" $(for mode in $held_modes; do echo "-$mode"; done); do
      [ -f "$runs/$c/$side$suffix.status" ] || continue
      { report "$c" "$side$suffix" >"$runs/$c/$side$suffix.files"; trace "$c" "$side$suffix" >"$runs/$c/$side$suffix.trace"; } &
    done
  done
done
wait

# 3. The comparison.
status=0
for c in $cases; do
  check "$c" cmdbat || status=1
  check "$c" wine || status=1
  compare_sides "$c" || status=1
done

if [ -f "$runs/$old_case/wine-old.status" ]; then
  # 4. The old updater still running.
  check_old "$old_case" wine || status=1
  check_old "$old_case" cmdbat || status=1
  # 5. The old updater past the wait, and launch.exe held running.
  for mode in stuck held; do
    check_whole "$old_case" "cmdbat-$mode" || status=1
    check_whole "$old_case" "wine-$mode" || status=1
    compare_sides "$old_case" "$mode" || status=1
    for side in cmdbat wine; do
      echo "$side-$mode, $old_case: the updater's files: $(paste -sd, "$runs/$old_case/$side-$mode.mixed")"
    done
  done
  # 6. Without the copies' checks the held run must fail the check.
  if ! grep -q "$copy_check" "$runs/$old_case/interpreter.txt.bat"; then
    echo "$old_case: the batch file checks none of its copies"
    status=1
  fi
  for side in cmdbat wine; do
    if check_whole "$old_case" "$side-unchecked" >/dev/null; then
      echo "$side-unchecked, $old_case: with the copies' checks taken out, the batch file still passes:" \
        "the check cannot see a folder left half replaced"
      status=1
    else
      echo "$side-unchecked, $old_case: without the copies' checks the batch file fails, as it must:" \
        "$(head -n 1 "$runs/$old_case/$side-unchecked.problems")"
    fi
  done
fi

# The machines' copies are large; a failure keeps them for a look.
if [ $status = 0 ]; then
  for c in $cases; do
    for copy in machine cmdbat wine $(for mode in $held_modes; do echo "cmdbat-$mode wine-$mode"; done); do
      rm -rf "${runs:?}/$c/$copy" "$runs/$c/$copy.prefix"
    done
  done
fi
echo "captured in $((captured - began)) ms, ran in $((ran - captured)) ms, compared in $(($(now_ms) - ran)) ms"
exit $status
