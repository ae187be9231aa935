#!/usr/bin/env bash
# Every benchmark, each measured against its baseline in the same run: natively through the
# portable core (local image, cached replay, index load and appends, remote play against
# a plain TCP transfer, a game's reads over shaped links against the link and the pace of
# a console drive, a game whose server restarts against the restart's own pauses), the
# server's runs (the compressor's rate, and the run lengths and
# levels that links of a few speeds get, against runs not sized to the link), the server
# program under 200 clients against one alone, the server program in a crowd (idle
# connections and readers at both compression levels) and in a flood of connections that
# never log in, each against its idle figures, korvane-mount's reads through FUSE (cold and
# warm against plain TCP and a local copy, over a shaped link against the link), then
# through the plugin DLL under Wine by the player (local image, the same from a reading
# thread that dispatches no window messages, and cached replay, against large reads of the
# same file; and a game's paced reads from the server program over a shaped link). Prints
# the figures and writes them to docs/benchmark-figures.md.
#
# Called by ./run bench after the builds; the environment names the build folders.
# GAME_ONLY=1 runs only the game-over-a-link parts (native, restarts included, and under
# Wine), for reruns.
# MOUNT_ONLY=1 runs only korvane-mount's benchmarks (scripts/bench_mount.sh), for reruns.
# GUARD_ONLY=1 runs only the server's guards against hostile crowds (guard_bench), for reruns.
set -euo pipefail

ROOT=${ROOT:?}
BUILD=${BUILD:?}
WORK="$ROOT/out/bench"
# The generated figures of a full run; docs/benchmarks.md, the figures of record with their
# notes, is written by hand and never touched here.
REPORT="$ROOT/docs/benchmark-figures.md"
GAME_ONLY=${GAME_ONLY:-}
SERVER_PID=""
SHAPER_PID=""
# A mount that a stopped run left behind would keep its folder from being removed.
fusermount3 -u "$WORK/mount/mnt" 2>/dev/null || true
rm -rf "$WORK" && mkdir -p "$WORK"

stop_children() {
  local pid
  unmount_discs
  for pid in $SHAPER_PID $SERVER_PID; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  SHAPER_PID=""
  SERVER_PID=""
}
# The mount's section: bench_mount, and unmount_discs for the end.
source "$ROOT/scripts/bench_mount.sh"
trap stop_children EXIT

port_in() {  # port_in LOG TEXT: the port after TEXT in LOG, once the program has written it
  local port _
  for _ in $(seq 1 100); do
    port=$(sed -n "s/.*$2\([0-9][0-9]*\).*/\1/p" "$1" | head -n1)
    if [ -n "$port" ]; then echo "$port"; return 0; fi
    sleep 0.1
  done
  cat "$1" >&2
  return 1
}

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

all() { [ -z "$GAME_ONLY" ]; }  # every benchmark, not only the game's

{
  echo "# Benchmark figures"
  echo
  echo "Written by \`./run bench\`, whole, at each full run; the notes on these figures are in"
  echo "[benchmarks.md](benchmarks.md)."
  echo
  echo "Made by \`./run bench\` on $(date -u +%Y-%m-%d), $(nproc) cores; the page cache is warm and the"
  echo "machine may be shared, so figures move between runs: the ratios, each taken against a"
  echo "baseline in the same run, are what to compare."
} >"$WORK/report"

if [ -n "${GUARD_ONLY:-}" ]; then  # the server's guards alone, for reruns
  run_native "The disc server program against hostile crowds: login slots, an undrained log, clients that never read (native)" \
    "$BUILD/bench/bin/guard_bench"
  echo "The figures are in $WORK/report ($REPORT is left as it was: GUARD_ONLY)"
  exit 0
fi
if [ -n "${MOUNT_ONLY:-}" ]; then  # the mount's section alone, for reruns
  bench_mount
  echo "The figures are in $WORK/report ($REPORT is left as it was: MOUNT_ONLY)"
  exit 0
fi

if all; then
  run_native "Local image and cached replay (core, native)" "$BUILD/bench/bin/playback_bench"
  run_native "Block cache: appends and a DVD-sized index (core, native)" "$BUILD/bench/bin/cache_bench"
  run_native "Remote play against the disc server on loopback (core, native)" \
    "$BUILD/bench/bin/remote_bench" 300000 50
  run_native "The disc server's runs: compression, and lengths on links played (native)" \
    "$BUILD/bench/bin/runs_bench"
fi
run_native "A game's reads from the disc server over shaped links (core, native)" \
  "$BUILD/bench/bin/game_bench" 20 60
run_native "A game whose disc server restarts, on loopback and over a shaped link (core, native)" \
  "$BUILD/bench/bin/restart_bench" 20 60
if all; then
  run_native "The disc server program under 200 clients on loopback (native)" \
    "$BUILD/bench/bin/load_bench" 200 4096 50
  run_native "The disc server program in a crowd and in a flood (native)" \
    "$BUILD/bench/bin/crowd_bench"
  run_native "The disc server program against hostile crowds: login slots, an undrained log, clients that never read (native)" \
    "$BUILD/bench/bin/guard_bench"
  bench_mount
fi

printf '\n== Through the plugin DLL under Wine\n'
mkdir -p "$WORK/wine/Games"
head -c 200M /dev/urandom >"$WORK/wine/disc.iso"
# (yes ends on a broken pipe once head has its bytes: that is no failure.)
{ yes "KORVANE BENCH DATA" | head -c 100M || true; } >>"$WORK/wine/disc.iso"
cp "$BUILD/win32/bin/KorvaneCDVD.dll" "$BUILD/win32/bin/KorvanePlayer.exe" "$WORK/wine/"
play_failed() {  # play_failed LOG: shows the end of a player's log and stops
  tail -20 "$1"
  exit 1
}

play_wine() {  # play_wine SOURCE [PLAYER OPTIONS...]: plays the local file SOURCE of the ini
  local source=$1
  shift
  printf '127.0.0.1,35000,,,Z:%s\\%s,' "$(echo "$WORK/wine" | tr / '\\')" "$source" \
    >"$WORK/wine/Games/KorvaneCDVD.ini"
  (cd "$WORK/wine" && wine ./KorvanePlayer.exe KorvaneCDVD.dll --configure --dialog-shot shot.png \
      --count 153600 --no-iso --no-progress --baseline disc.iso "$@" </dev/null >"$WORK/wine/play.log" 2>&1) ||
    play_failed "$WORK/wine/play.log"
  echo "$source${*:+ $*}:" | tee -a "$WORK/report"
  grep -E '^summary:|^baseline:' "$WORK/wine/play.log" | tee -a "$WORK/report"
}
if all; then
  cp "$WORK/wine/disc.iso" "$WORK/wine/Games/disc.iso.Block"
  python3 - "$WORK/wine/Games/disc.iso.map" $(( $(stat -c %s "$WORK/wine/disc.iso") / 2048 )) <<'PY'
import sys
with open(sys.argv[1], "w", newline="") as out:
    out.write("".join("%d/3/%d\r\n" % (n, n * 2048) for n in range(int(sys.argv[2]))))
PY
  section "Through the plugin DLL under Wine (player, 300 MB, mode 3)"
  play_wine 'disc.iso'
  play_wine 'disc.iso' --reader-thread
  play_wine 'Games\disc.iso.map'
  close_section
fi

# A game's paced reads from the server program (the release build, at its defaults) over a
# modelled link, through the plugin DLL under Wine, from an empty cache.
GAME_RTT_MS=50 GAME_MBPS=8 GAME_PACE=5.5 GAME_MB=30
mkdir -p "$WORK/wine/served"
ln -f "$WORK/wine/disc.iso" "$WORK/wine/served/game.iso"
"$BUILD/release/bin/korvane-server" --folder "$WORK/wine/served" --allow-anyone --bind 127.0.0.1 \
  --port 0 --proxy-protocol >"$WORK/wine/server.log" 2>&1 &
SERVER_PID=$!
server_port=$(port_in "$WORK/wine/server.log" 'on 127\.0\.0\.1:')
"$BUILD/bench/bin/korvane-shaper" --server-port "$server_port" --rtt-ms "$GAME_RTT_MS" \
  --mbps "$GAME_MBPS" --client-address 192.0.2.10 >"$WORK/wine/shaper.log" 2>&1 &
SHAPER_PID=$!
shaper_port=$(port_in "$WORK/wine/shaper.log" 'listening on 127\.0\.0\.1:')
rm -f "$WORK/wine/Games/game.iso."*
printf '127.0.0.1,35000,,,' >"$WORK/wine/Games/KorvaneCDVD.ini"
title="A game over a shaped link through the plugin DLL under Wine (player, reading thread,"
title+=" $GAME_MB MB paced at $GAME_PACE MB/s, mode 3, from the server program over"
title+=" ${GAME_RTT_MS} ms round trip and $GAME_MBPS MB/s, empty cache)"
printf '\n== %s\n' "$title"
section "$title"
(cd "$WORK/wine" && wine ./KorvanePlayer.exe KorvaneCDVD.dll --connect "127.0.0.1:$shaper_port" \
    --user bench --password bench --disc game.iso --reader-thread --no-iso --no-progress \
    --count $((GAME_MB * 1000000 / 2048)) --pace-mbps "$GAME_PACE" \
    </dev/null >"$WORK/wine/game.log" 2>&1) || play_failed "$WORK/wine/game.log"
stop_children
grep -E '^summary:|^blocking' "$WORK/wine/game.log" | tee -a "$WORK/report"
grep -E '^stopped:' "$WORK/wine/shaper.log" | sed 's/^/shaper /' | tee -a "$WORK/report"
close_section

echo
if all; then
  # Paths as the checkout names them, never as this machine does.
  sed "s|$ROOT/||g" "$WORK/report" >"$REPORT"
  echo "The figures are in $REPORT"
else
  echo "The figures are in $WORK/report ($REPORT is left as it was: GAME_ONLY runs a part)"
fi
