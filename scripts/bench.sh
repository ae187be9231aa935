#!/usr/bin/env bash
# Every benchmark, each measured against its baseline in the same run: natively through the
# portable core (local image, cached replay, index load and appends, remote play against
# a plain TCP transfer), the server's runs (the compressor's rate, and the run lengths and
# levels that links of a few speeds get, against runs not sized to the link), the server
# program under 200 clients against one alone, the server program in a crowd (idle
# connections and readers at both compression levels) and in a flood of connections that
# never log in, each against its idle figures, then through the plugin DLL under Wine by the
# player (local image, the same from a reading thread that dispatches no window messages,
# and cached replay, against large reads of the same file). Prints the figures and writes
# them to docs/benchmarks.md.
#
# Called by ./run bench after the builds; the environment names the build folders.
set -euo pipefail

ROOT=${ROOT:?}
BUILD=${BUILD:?}
WORK="$ROOT/out/bench"
REPORT="$ROOT/docs/benchmarks.md"
rm -rf "$WORK" && mkdir -p "$WORK"

section() { printf '\n## %s\n\n```\n' "$1" >>"$WORK/report"; }
close_section() { printf '```\n' >>"$WORK/report"; }

run_native() {  # run_native TITLE PROGRAM ARGS...
  local title=$1
  shift
  printf '\n== %s\n' "$title"
  section "$title"
  "$@" | tee -a "$WORK/report"
  close_section
}

{
  echo "# Benchmarks"
  echo
  echo "Made by \`./run bench\` on $(date -u +%Y-%m-%d), $(nproc) cores; the page cache is warm and the"
  echo "machine may be shared, so figures move between runs: the ratios, each taken against a"
  echo "baseline in the same run, are what to compare."
} >"$WORK/report"

run_native "Local image and cached replay (core, native)" "$BUILD/bench/bin/playback_bench"
run_native "Block cache: appends and a DVD-sized index (core, native)" "$BUILD/bench/bin/cache_bench"
run_native "Remote play against the disc server on loopback (core, native)" \
  "$BUILD/bench/bin/remote_bench" 300000 50
run_native "The disc server's runs: compression, and lengths on links played (native)" \
  "$BUILD/bench/bin/runs_bench"
run_native "The disc server program under 200 clients on loopback (native)" \
  "$BUILD/bench/bin/load_bench" 200 4096 50
run_native "The disc server program in a crowd and in a flood (native)" \
  "$BUILD/bench/bin/crowd_bench"

printf '\n== Through the plugin DLL under Wine\n'
mkdir -p "$WORK/wine/Games"
head -c 200M /dev/urandom >"$WORK/wine/disc.iso"
# (yes ends on a broken pipe once head has its bytes: that is no failure.)
{ yes "KORVANE BENCH DATA" | head -c 100M || true; } >>"$WORK/wine/disc.iso"
cp "$WORK/wine/disc.iso" "$WORK/wine/Games/disc.iso.Block"
python3 - "$WORK/wine/Games/disc.iso.map" $(( $(stat -c %s "$WORK/wine/disc.iso") / 2048 )) <<'PY'
import sys
with open(sys.argv[1], "w", newline="") as out:
    out.write("".join("%d/3/%d\r\n" % (n, n * 2048) for n in range(int(sys.argv[2]))))
PY
cp "$BUILD/win32/bin/KorvaneCDVD.dll" "$BUILD/win32/bin/KorvanePlayer.exe" "$WORK/wine/"
section "Through the plugin DLL under Wine (player, 300 MB, mode 3)"
play_wine() {  # play_wine SOURCE [PLAYER OPTIONS...]: plays the local file SOURCE of the ini
  local source=$1
  shift
  printf '127.0.0.1,35000,,,Z:%s\\%s,' "$(echo "$WORK/wine" | tr / '\\')" "$source" \
    >"$WORK/wine/Games/KorvaneCDVD.ini"
  (cd "$WORK/wine" && wine ./KorvanePlayer.exe KorvaneCDVD.dll --configure --dialog-shot shot.bmp \
      --count 153600 --no-iso --no-progress --baseline disc.iso "$@" </dev/null >"$WORK/wine/play.log" 2>&1) || {
    tail -20 "$WORK/wine/play.log"
    exit 1
  }
  echo "$source${*:+ $*}:" | tee -a "$WORK/report"
  grep -E '^summary:|^baseline:' "$WORK/wine/play.log" | tee -a "$WORK/report"
}
play_wine 'disc.iso'
play_wine 'disc.iso' --reader-thread
play_wine 'Games\disc.iso.map'
close_section

cp "$WORK/report" "$REPORT"
echo
echo "The figures are in $REPORT"
