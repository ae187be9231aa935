#!/usr/bin/env bash
# The road of a disc, shown end to end: a sample disc is made, served by the disc server,
# played whole through the plugin under Wine by the player (whose script fills in the
# Config dialog as a user would), replayed offline from the cache it left, and played from
# the image itself. Every sector is checked each time; a table compares the three.
#
# Called by ./run demo after the builds; the environment names the build folders.
set -euo pipefail

ROOT=${ROOT:?}
BUILD=${BUILD:?}
OUT="$ROOT/out/demo"
WIN="$BUILD/win32/bin"
PORT=${KORVANE_DEMO_PORT:-35077}
SERVER_PID=""

say() { printf '\n\033[1m%s\033[0m\n' "$*"; }

cleanup() {
  if [ -n "$SERVER_PID" ]; then kill "$SERVER_PID" 2>/dev/null || true; wait "$SERVER_PID" 2>/dev/null || true; fi
}
trap cleanup EXIT

# Runs the player under Wine in the demo folder with the plugin DLL named by $DLL
# (KorvaneCDVD.dll when unset); its output goes to a log file, the summary and the
# failures to the terminal.
play() {
  local name=$1
  shift
  (cd "$OUT" && timeout 900 wine ./KorvanePlayer.exe "${DLL:-KorvaneCDVD.dll}" "$@" </dev/null >"$OUT/$name.log" 2>"$OUT/$name.progress") || {
    echo "the player failed; its output:"
    grep -v '^Requested Mode\|^Compressed packet\|^Size of Block' "$OUT/$name.log" | tail -20
    return 1
  }
  grep -E '^volume |^  [^ ]|^summary:' "$OUT/$name.log" | head -12
}

figure() {  # figure LOG FIELD: the MB/s or sectors/s of a player's summary line
  sed -n "s|.*, \([0-9.]*\) $2.*|\1|p" "$OUT/$1.log" | tail -n1
}

say "1. Making a sample PS2-style disc: a real ISO 9660 image of a few hundred megabytes"
rm -rf "$OUT" && mkdir -p "$OUT/disc/DATA" "$OUT/discs"
printf 'BOOT2 = cdrom0:\\SLUS_000.01;1\r\nVER = 1.00\r\nVMODE = NTSC\r\n' >"$OUT/disc/SYSTEM.CNF"
head -c 4M /dev/urandom >"$OUT/disc/SLUS_000.01"
for n in 1 2 3; do
  # Game data: part noise, part the repetitive structure that compresses well.
  # (yes ends on a broken pipe once head has its bytes: that is no failure.)
  { head -c 60M /dev/urandom; yes "KORVANE DEMO LEVEL $n TEXTURE AND SOUND DATA" | head -c 40M || true; } \
    >"$OUT/disc/DATA/LEVEL$n.BIN"
done
xorriso -as mkisofs -quiet -V KORVANE_DEMO -o "$OUT/discs/demo.iso" "$OUT/disc" 2>"$OUT/xorriso.log"
python3 "$ROOT/scripts/make_raw_image.py" "$OUT/discs/demo.iso" "$OUT/discs/demo.bin"
rm -rf "$OUT/disc"
echo "made $(du -h "$OUT/discs/demo.iso" | cut -f1) demo.iso (2048-byte sectors) and its raw form demo.bin (2352-byte sectors)"

say "2. Starting the disc server on 127.0.0.1:$PORT with the sample folder and the account demo/korvane"
echo "demo:korvane" >"$OUT/accounts.txt"
"$BUILD/release/bin/korvane-server" --folder "$OUT/discs" --accounts "$OUT/accounts.txt" --bind 127.0.0.1 \
  --port "$PORT" >"$OUT/server.log" 2>&1 &
SERVER_PID=$!
sleep 0.5
kill -0 "$SERVER_PID" 2>/dev/null || { cat "$OUT/server.log"; exit 1; }
cp "$WIN/KorvaneCDVD.dll" "$WIN/KorvaneCDVD-titled.dll" "$WIN/KorvanePlayer.exe" "$OUT/"

say "3. Playing the disc from the server through KorvaneCDVD-titled.dll: the player opens the Config dialog and fills it in as a user would (address, user, password, Connect, the disc, Close), then, as the emulators from 2007 on do, passes the game's title to CDVDopen and reads every sector on a thread of its own that dispatches no window messages, checking it against the image"
DLL=KorvaneCDVD-titled.dll play remote --connect "127.0.0.1:$PORT" --user demo --password korvane \
  --disc demo.iso --verify 'discs\demo.iso' --dialog-shot dialog-remote.png --host-abi titled \
  --reader-thread

say "4. Stopping the server and replaying the disc offline through KorvaneCDVD.dll, as the oldest emulators call it: the cache is picked on the Local tab"
kill "$SERVER_PID" && wait "$SERVER_PID" 2>/dev/null || true
SERVER_PID=""
play offline --cache demo.iso.Block --verify 'discs\demo.iso' --dialog-shot dialog-local.png

say "5. Playing the image itself, chosen with Choose File, checked against its raw form (the plugin holds the image it plays for itself alone)"
play local --choose-file 'discs\demo.iso' --verify 'discs\demo.bin' --dialog-shot dialog-file.png

say "The road of a disc, every sector checked each time (through the plugin DLL under Wine):"
printf '%-34s %10s %12s\n' "source" "MB/s" "sectors/s"
printf '%-34s %10s %12s\n' "local image" "$(figure local MB/s)" "$(figure local sectors/s)"
printf '%-34s %10s %12s\n' "cold remote play (server, loopback)" "$(figure remote MB/s)" "$(figure remote sectors/s)"
printf '%-34s %10s %12s\n' "warm offline replay of its cache" "$(figure offline MB/s)" "$(figure offline sectors/s)"

echo
echo "Screenshots of the dialog: $(ls "$OUT"/dialog-* | tr '\n' ' ')"
echo "Logs of each step: $OUT/*.log; the cache the remote play left: $OUT/Games/"
