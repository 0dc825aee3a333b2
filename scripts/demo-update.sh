# Demo, second half: the installed updater at work. Sourced by scripts/demo
# once the product is installed; uses its helpers (say, step, fail, winauto,
# show_window) and its BUILD, WORK, WAIT, SERVICE_URL and WIN32_MACHINE.
#
# Publishes a newer main and delta package on the running test service,
# starts <install dir>\update\update.exe as the launcher's shortcut would and
# shows what the user sees and what changed. Then publishes a newer updater
# package and shows the self-update: the batch file, the updater started
# again from its directory, and that run finding nothing newer.

UPDATE_WAIT=60                # seconds for one run of the updater
UPDATE_PID=""
UPDATE_INSTALL_DIR="$WIN32_MACHINE/c/Program Files/korva"
UPDATE_DIR="$UPDATE_INSTALL_DIR/update"
UPDATE_DATA_DIR="$WIN32_MACHINE/c/Program Files (x86)/Common Files/korva"
UPDATE_CONFIG="$UPDATE_INSTALL_DIR/resources/cplus-module/update.json"

# ---- the service's catalog ---------------------------------------------

# update_catalog "name code versionName file text" ...: the catalog the
# service reads again as soon as it changes.
update_catalog() {
  local entry name code version file text first=1
  {
    printf '{"packages": [\n'
    for entry in "$@"; do
      IFS='|' read -r name code version file text <<<"$entry"
      [ $first -eq 1 ] || printf ',\n'
      first=0
      printf '  {"packageName": "%s", "versionCode": %s, "versionName": "%s", "file": "%s", "text": "%s"}' \
        "$name" "$code" "$version" "$file" "$text"
    done
    printf '\n]}\n'
  } >"$WORK/catalog.json.new" && mv "$WORK/catalog.json.new" "$WORK/catalog.json"
}

# update_pack FILE DIR: packs the contents of DIR as the service's FILE.
update_pack() {
  (cd "$2" && 7z a -bd -y "$WORK/service/$1" . >/dev/null) || { fail "7z $1"; return 1; }
  say "  $1: $(stat -c %s "$WORK/service/$1") bytes"
}

# ---- one run of the updater ----------------------------------------------

# The window's controls as "name<TAB>text<TAB>value<TAB>enabled" lines.
update_controls() {
  winauto ctl "$1" controls 2>/dev/null |
    awk '{ name = $1; text = $0; sub(/^.* text="/, "", text); sub(/" visible=.*$/, "", text);
           value = "-"; enabled = "-";
           for (i = 1; i <= NF; i++) { if ($i ~ /^value=/) value = substr($i, 7);
                                       if ($i ~ /^enabled=/) enabled = substr($i, 9) }
           printf "%s\t%s\t%s\t%s\n", name, text, value, enabled }'
}

# Starts update.exe from its directory and follows its window until the
# program ends: what the window shows, whenever it changes. A message box
# is shown and counted as a failure. Sets UPDATE_SHOWN=1 when the window
# was seen showing a package (it is visible for a moment at every start).
run_updater() {
  (cd "$UPDATE_DIR" && exec ./update.exe) >>"$WORK/update.out" 2>&1 &
  UPDATE_PID=$!
  say "  update.exe started (pid $UPDATE_PID) in C:\\Program Files\\korva\\update\\"
  UPDATE_SHOWN=0
  local deadline=$((SECONDS + UPDATE_WAIT)) last="" hwnd state box
  while kill -0 "$UPDATE_PID" 2>/dev/null && [ $SECONDS -lt $deadline ]; do
    hwnd=$(winauto list --class KorvaUpdateWnd --pid "$UPDATE_PID" --visible 2>/dev/null | cut -d' ' -f1)
    if [ -n "$hwnd" ]; then
      state=$(update_controls "$hwnd" | awk -F'\t' '
        $1 == "LabelFeature" { feature = $2 } $1 == "TextUpdateDetail" { detail = $2 }
        $1 == "ProgressUpdate" { split($3, v, "/"); bar = v[1] } $1 == "ButtonCancel" { cancel = $4 }
        END { if (feature != "") printf "%3s%%  %s | %s | 取消 %s", bar, feature, detail, (cancel == "yes" ? "可用" : "不可用") }')
      if [ -n "$state" ]; then
        UPDATE_SHOWN=1
        [ "$state" != "$last" ] && say "  [Korva更新] $state"
        last=$state
      fi
    fi
    box=$(winauto list --class KorvaUpdateMessageWnd --pid "$UPDATE_PID" --visible 2>/dev/null | cut -d' ' -f1)
    if [ -n "$box" ]; then
      show_window "$box"
      fail "the updater showed a message box"
      winauto ctl "$box" click ButtonClose >/dev/null
      sleep 0.5
    fi
    sleep 0.05
  done
  if kill -0 "$UPDATE_PID" 2>/dev/null; then
    fail "update.exe did not end"
    kill "$UPDATE_PID"
  fi
  wait "$UPDATE_PID"
  local code=$?
  UPDATE_PID=""
  say "  update.exe ended with exit code $code"
  [ "$code" -eq 0 ] || fail "update.exe exit code $code"
}

# Waits until the product stub has been started COUNT times in all.
wait_stub_runs() {
  local count=$1 i
  for ((i = 0; i < UPDATE_WAIT * 10; i++)); do
    [ "$(wc -l <"$WIN32_MACHINE/stub-runs.jsonl" 2>/dev/null || echo 0)" -ge "$count" ] && return 0
    sleep 0.1
  done
  return 1
}

# Stub runs after the first SKIP ones, as "path (in directory)".
show_stub_runs() {
  tail -n +$(($1 + 1)) "$WIN32_MACHINE/stub-runs.jsonl" |
    sed -E 's/.*"windows_cwd":"([^"]*)".*"windows_path":"([^"]*)".*/    \2 (in \1)/; s/\\\\/\\/g'
}

# Lines of the update logs written since the marker file.
show_update_log() {
  local log
  find "$UPDATE_DATA_DIR" -maxdepth 1 -name 'Update*.log' -newer "$1" -print | sort | while IFS= read -r log; do
    say "  ${log#"$WIN32_MACHINE/"}"
    iconv -f GBK -t UTF-8 "$log" | tr -d '\r' | sed 's/^/    /'
  done
}

# Statistics posts of the updater after the first SKIP lines of the record.
show_update_statistics() {
  tail -n +$(($1 + 1)) "$WORK/statistics.txt" | grep -A1 '^/pc/statistic/uploadUpdateFigure' |
    grep -v -e '^--$' -e '^/pc/' | sed 's/^/  /'
}

# "section version" for the three entries of the install tree's update.json
# (one entry per line as packed, or as the updater writes it back).
update_versions_raw() {
  tr -d '\r' <"$UPDATE_CONFIG" | awk '
    match($0, /"update(update|korva|korvadelta)" *: *\{/) { sec = substr($0, RSTART + 1); sub(/".*/, "", sec) }
    match($0, /"version" *: *[^,}]*/) { v = substr($0, RSTART, RLENGTH); sub(/"version" *: */, "", v); print sec, v }' |
    sort
}

update_versions() {
  update_versions_raw | awk '{ printf "  %-17s %s\n", $1, $2 }'
}

# ---- main and delta package ------------------------------------------------

update_packages() {
  step "The service publishes Korva 1.0.1 and a delta package"
  local src="$WORK/update-src"
  mkdir -p "$src/main/bin" "$src/delta/plugins"
  printf 'Korva network accelerator 1.0.1\r\n' >"$src/main/readme.txt"
  head -c 4194304 /dev/urandom >"$src/main/bin/route.dat"
  head -c 1048576 /dev/urandom >"$src/delta/plugins/boost.dat"
  printf 'boost rules 2\r\n' >"$src/delta/plugins/boost.txt"
  update_pack korva-101.7z "$src/main" && update_pack korva_delta-2.7z "$src/delta" || return 1
  update_catalog "korva|101|1.0.1|korva-101.7z|更快的线路切换" \
    "korva_delta|2|1.0.1-d|korva_delta-2.7z|新的加速规则"
  say "  catalog: korva 1.0.1 (101), korva_delta 1.0.1-d (2)"
  say "  update.json of the install tree before:"
  update_versions

  step "The user starts the updater"
  local runs posts marker="$WORK/update-1.mark"
  touch "$marker"
  runs=$(wc -l <"$WIN32_MACHINE/stub-runs.jsonl" 2>/dev/null || echo 0)
  posts=$(wc -l <"$WORK/statistics.txt" 2>/dev/null || echo 0)
  run_updater
  [ "$UPDATE_SHOWN" -eq 1 ] || fail "the update window never showed"

  step "What the update changed"
  say "  update.json of the install tree after:"
  update_versions
  update_versions_raw | grep -qx 'updatekorva "101"' && update_versions_raw | grep -qx 'updatekorvadelta "2"' ||
    fail "versions not written back as strings"
  say "  new files:"
  say "    readme.txt: $(tr -d '\r' <"$UPDATE_INSTALL_DIR/readme.txt")"
  (cd "$UPDATE_INSTALL_DIR" && find plugins bin -type f -printf '    %p\t%s bytes\n' | sort)
  cmp -s "$src/delta/plugins/boost.dat" "$UPDATE_INSTALL_DIR/plugins/boost.dat" || fail "delta files missing"
  cmp -s "$src/main/bin/route.dat" "$UPDATE_INSTALL_DIR/bin/route.dat" || fail "main files missing"
  say "  statistics posts (updateObj 1 = main package, 2 = delta package):"
  show_update_statistics "$posts"
  [ "$(show_update_statistics "$posts" | wc -l)" -eq 2 ] || fail "expected two statistics posts"
  if wait_stub_runs $((runs + 1)); then
    say "  the launcher started:"
    show_stub_runs "$runs"
  else
    fail "launch.exe was not started"
  fi
  step "The update log"
  show_update_log "$marker"
}

# ---- the updater's own package ------------------------------------------

update_self() {
  step "The service publishes a new updater (korva_update 2)"
  local src="$WORK/update-src/updater"
  mkdir -p "$src"
  cp "$BUILD/dist/update.exe" "$src/update.exe"
  printf 'updater 2.0.0\r\n' >"$src/updater-version.txt"
  update_pack korva_update-2.7z "$src" || return 1
  update_catalog "korva|101|1.0.1|korva-101.7z|更快的线路切换" \
    "korva_delta|2|1.0.1-d|korva_delta-2.7z|新的加速规则" \
    "korva_update|2|2.0.0|korva_update-2.7z|新的更新程序"

  step "The user starts the updater again"
  local runs posts marker="$WORK/update-2.mark" bat="$UPDATE_DATA_DIR/update.bat" i
  touch "$marker"
  runs=$(wc -l <"$WIN32_MACHINE/stub-runs.jsonl" 2>/dev/null || echo 0)
  posts=$(wc -l <"$WORK/statistics.txt" 2>/dev/null || echo 0)
  run_updater
  if [ "$UPDATE_SHOWN" -eq 0 ]; then say "  (the update window stayed hidden)"; else fail "the update window showed"; fi

  step "The batch file it wrote and started: C:\\Program Files (x86)\\Common Files\\korva\\update.bat"
  if [ -f "$bat" ]; then
    iconv -f GBK -t UTF-8 "$bat" | tr -d '\r' | sed 's/^/  /'
  else
    fail "no update.bat"
  fi

  step "The updater starts again from its directory"
  if wait_stub_runs $((runs + 1)); then
    say "  ... finds nothing newer and starts the launcher:"
    show_stub_runs "$runs"
  else
    fail "the restarted updater did not start the launcher"
  fi
  for ((i = 0; i < UPDATE_WAIT * 10; i++)); do
    [ -f "$bat" ] || break
    sleep 0.1
  done
  [ -f "$bat" ] && fail "update.bat is still there"
  say "  update.bat has deleted itself"

  step "What the self-update changed"
  say "  C:\\Program Files\\korva\\update\\updater-version.txt: $(tr -d '\r' <"$UPDATE_DIR/updater-version.txt" 2>/dev/null)"
  [ -f "$UPDATE_DIR/updater-version.txt" ] || fail "the new updater files are missing"
  cmp -s "$src/update.exe" "$UPDATE_DIR/update.exe" || fail "update.exe was not replaced"
  [ -d "$UPDATE_DATA_DIR/update_update" ] && fail "update_update was not removed"
  say "  update.json of the install tree:"
  update_versions
  update_versions_raw | grep -qx 'updateupdate "2"' || fail "the updater version was not written back"
  say "  channel.json: $(tr -d '\r\n' <"$UPDATE_DIR/channel.json" | tr -s ' ')"
  say "  statistics posts (updateObj 0 = the updater's own package):"
  show_update_statistics "$posts"
  [ "$(show_update_statistics "$posts" | wc -l)" -eq 1 ] || fail "expected one statistics post"
  step "The update logs of both runs"
  show_update_log "$marker"
  show_update_log "$marker" | grep -q 'no need update Korva and KorvaDelta' ||
    fail "the restarted updater did not find itself current"
}

demo_update() {
  cmake --build "$BUILD" -j "$(nproc)" --target cmdbat >>"$WORK/build.log" 2>&1 || { fail "build cmdbat"; return 1; }
  update_packages && update_self
  [ -n "$UPDATE_PID" ] && kill "$UPDATE_PID" 2>/dev/null
  return 0
}
