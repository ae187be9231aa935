#!/usr/bin/env bash
# korvane-mount's tests on real mounts, against the real disc server: each CASE below is one
# test. They need /dev/fuse (the test machines run as root and have it); without it each
# case prints why and exits 77 (skipped).
#
#   MountTest.sh CASE SERVER MOUNT [PLAYER WINE_RUN]
#
#   whole_disc     a 2048-byte ISO and a raw 2352-byte image read whole through the mount,
#                  at once and the raw one twice over, match their images byte for byte; a
#                  real ISO 9660 reader (xorriso)
#                  lists and extracts every file of the ISO, and each matches its source
#   partial_tail   images that end part way through a sector (2048-byte ones, one shorter
#                  than a sector, and a raw one) read to their last byte: tail -c 1 of a
#                  fresh open, then cmp of the whole file, match the image
#   restart        the server is killed and started again on its port during a long cmp,
#                  which still succeeds
#   offline        an --offline mount of the cache reads cached sectors right, and an
#                  uncached one as EIO, never as other bytes; SIGTERM unmounts it
#   bad_input      a refused login (which leaves no cache folder behind), an unreachable
#                  server (named by its error's text), a mount point that is no folder or is
#                  mounted on already: each fails the mount with one line; a mount killed
#                  with SIGKILL mid-read leaves a stale mount point, named as such, that
#                  fusermount3 -u cleans up, and a cache whose every entry holds its
#                  sector's bytes
#   plugin_cache   (PLAYER: the Windows player, run under Wine) the plugin replays offline
#                  what the mount cached, and the mount replays what the plugin cached
#   shared_cache   (PLAYER) two mounts and the plugin under Wine fill one cache folder at
#                  once, one in order, one at random, one through the plugin: each reads
#                  the image's bytes, an offline mount of the folder then reads it exactly,
#                  and no sector was stored twice
#   full_cache     a cache folder on a small tmpfs that fills up mid-read, and one that is
#                  read-only: each is named at start or once when it fills, and the image
#                  reads right through the mount all the same
#   fstab          an fstab line of type fuse (the program by its path, before its server)
#                  mounted by mount(8), with its -o options: login, password file and cache
#                  folder taken, mount(8)'s own words ignored, allow_other letting another
#                  user read the disc byte for byte; umount unmounts it
#   frozen_server  with the server stopped (SIGSTOP), a read that needs it fails with EIO
#                  within the 10 s bound while a read of cached sectors is served at once;
#                  before that, a disc read in part and then from its start stores no
#                  sector twice
set -uo pipefail
case_name=$1
server=$2
mount=$3
player=${4:-}
wine_run=${5:-}
root=$(mktemp -d)
server_pid=""
server_port=""
mounted=()
mounter=""
tmpfs_points=()

finish() {
  local point
  [ -n "$server_pid" ] && kill -CONT "$server_pid" 2>/dev/null
  # A case that failed may leave readers of its mounts running: they would keep them busy.
  local jobs
  jobs=$(jobs -p)
  [ -n "$jobs" ] && kill $jobs 2>/dev/null && wait $jobs 2>/dev/null
  for point in "${mounted[@]}"; do
    fusermount3 -u "$point" 2>/dev/null || fusermount3 -u -z "$point" 2>/dev/null
  done
  [ -n "$server_pid" ] && { kill -CONT "$server_pid" 2>/dev/null; kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; }
  for point in "${tmpfs_points[@]}"; do umount "$point" 2>/dev/null; done
  rm -rf "$root"
}
trap finish EXIT
fail() {
  echo "FAILED: $*"
  for log in "$root"/*.log; do [ -f "$log" ] && { echo "--- $log"; tail -n 20 "$log"; }; done
  exit 1
}

if [ ! -x "$server" ] || [ ! -x "$mount" ]; then
  echo "skipped: no native korvane-server and korvane-mount at $server and $mount"
  exit 77
fi
if [ ! -c /dev/fuse ] || ! [ -r /dev/fuse -a -w /dev/fuse ]; then
  echo "skipped: no usable /dev/fuse on this machine, so no mount can be tested"
  exit 77
fi

source "$(dirname "${BASH_SOURCE[0]}")/MountSupport.sh"

case_whole_disc() {
  mkdir -p "$root/discs"
  make_iso "$root/discs/game.iso"
  make_raw_image "$root/discs/raw.bin" 1500
  start_server --allow-anyone
  mount_server mnt cache
  [ "$(ls "$root/mnt" | tr '\n' ' ')" = "game.iso raw.bin " ] || fail "listed: $(ls "$root/mnt")"
  # Both discs at once, each on its link, and two readers of one disc.
  local readers=() reader
  for disc in game.iso raw.bin raw.bin; do
    [ "$(stat -c %s "$root/mnt/$disc")" = "$(stat -c %s "$root/discs/$disc")" ] ||
      fail "$disc is not the image's size"
    cmp "$root/mnt/$disc" "$root/discs/$disc" >>"$root/cmp.log" 2>&1 &
    readers+=($!)
  done
  for reader in "${readers[@]}"; do wait "$reader" || fail "$(cat "$root/cmp.log")"; done
  xorriso -osirrox on -indev "$root/mnt/game.iso" -extract / "$root/out" >"$root/xorriso.log" 2>&1 ||
    fail "xorriso could not extract the ISO through the mount"
  diff -r "$root/src" "$root/out" >"$root/diff.log" 2>&1 || fail "extracted files differ"
  # The plugin's layout: raw sectors are cached as read in mode 0, the others in mode 3.
  grep -qv '^[0-9]*/3/' "$root/cache/game.iso.map" && fail "game.iso cached in another mode"
  grep -qv '^[0-9]*/0/' "$root/cache/raw.bin.map" && fail "raw.bin cached in another mode"
  check_cache "$root/cache/game.iso" "$root/discs/game.iso" 2048
  check_cache "$root/cache/raw.bin" "$root/discs/raw.bin" 2352
  unmount mnt
}

case_partial_tail() {
  mkdir -p "$root/discs"
  head -c $((300 * 2048 + 777)) /dev/urandom >"$root/discs/odd.iso"
  head -c 1000 /dev/urandom >"$root/discs/tiny.iso"
  make_raw_image "$root/discs/odd.bin" 40
  head -c 2100 /dev/urandom >>"$root/discs/odd.bin"
  start_server --allow-anyone
  mount_server mnt cache
  local disc
  for disc in odd.iso tiny.iso odd.bin; do
    # The last byte first, so that the partial sector is the first read of the disc's link.
    tail -c 1 "$root/mnt/$disc" >"$root/last" 2>"$root/tail.log" ||
      fail "tail -c 1 $disc: $(cat "$root/tail.log")"
    tail -c 1 "$root/discs/$disc" | cmp -s - "$root/last" || fail "the last byte of $disc differs"
    same_bytes "$root/mnt/$disc" "$root/discs/$disc"
  done
  unmount mnt
}

case_restart() {
  mkdir -p "$root/discs"
  head -c $((48 * 1024 * 1024)) /dev/urandom >"$root/discs/long.iso"
  start_server --allow-anyone --run-max 16 --delay-ms 3
  mount_server mnt cache
  (cmp "$root/mnt/long.iso" "$root/discs/long.iso" >"$root/cmp.log" 2>&1; echo $? >"$root/cmp.rc") &
  local reader=$!
  sleep 1.5
  local cached
  cached=$(stat -c %s "$root/cache/long.iso.Block" 2>/dev/null || echo 0)
  stop_server
  sleep 0.5
  start_server --allow-anyone --run-max 16 --delay-ms 3
  wait "$reader"
  [ "$cached" -lt $((48 * 1024 * 1024)) ] || fail "the cmp was over before the restart"
  [ "$(cat "$root/cmp.rc")" = 0 ] || fail "cmp across the restart: $(cat "$root/cmp.log")"
  unmount mnt
}

case_offline() {
  mkdir -p "$root/discs"
  head -c $((600 * 2048)) /dev/urandom >"$root/discs/part.iso"
  start_server --allow-anyone --run-max 16
  mount_server mnt cache
  dd if="$root/mnt/part.iso" of=/dev/null bs=2048 count=16 status=none
  dd if="$root/mnt/part.iso" of=/dev/null bs=2048 skip=500 count=16 status=none
  unmount mnt
  grep -q $'^200/3/' "$root/cache/part.iso.map" && fail "sector 200 was cached: no hole to read"
  mount_at offline cache --offline
  local size
  size=$(stat -c %s "$root/offline/part.iso")
  [ "$size" -ge $((516 * 2048)) ] && [ "$size" -le $((600 * 2048)) ] ||
    fail "the offline disc is $size bytes: not as far as its index reaches"
  cmp -n $((16 * 2048)) "$root/offline/part.iso" "$root/discs/part.iso" || fail "cached sectors"
  cmp -i $((500 * 2048)) -n $((16 * 2048)) "$root/offline/part.iso" "$root/discs/part.iso" ||
    fail "cached sectors past a hole"
  if dd if="$root/offline/part.iso" of="$root/hole" bs=2048 skip=200 count=1 2>"$root/dd.log"; then
    fail "an uncached sector was read: $(od -A d -t x1 "$root/hole" | head -n 2)"
  fi
  grep -q "Input/output error" "$root/dd.log" || fail "not EIO: $(cat "$root/dd.log")"
  unmount offline
  # SIGTERM to a mount in the foreground unmounts it, and the program ends well.
  mount_in_foreground offline cache --offline
  kill -TERM "$mounter"
  wait "$mounter" || fail "korvane-mount ended with status $? on SIGTERM"
  mountpoint -q "$root/offline" && fail "still mounted after SIGTERM"
  return 0
}

case_bad_input() {
  mkdir -p "$root/discs"
  head -c $((24 * 1024 * 1024)) /dev/urandom >"$root/discs/big.iso"
  printf 'ann:secret\n' >"$root/accounts"
  start_server --accounts "$root/accounts" --max-login-delay-ms 0 --run-max 16 --delay-ms 2
  mkdir -p "$root/mnt"
  expect_refusal "did not let this login in" "$root/mnt" "127.0.0.1:$server_port" \
    --user ann --password wrong
  [ -e "$root/cache" ] && fail "a refused login left the cache folder behind"
  expect_refusal "cannot connect to 127.0.0.1:1 (Connection refused)" "$root/mnt" 127.0.0.1:1 --user ann
  expect_refusal "is no folder" "$root/none" "127.0.0.1:$server_port" --user ann
  mkdir -p "$root/cache"
  mount_at mnt cache --offline
  expect_refusal "is busy" "$root/mnt" --offline
  unmount mnt
  # Killed mid-read: unmounted cleanly afterwards, and the cache holds only right bytes.
  KORVANE_PASSWORD=secret mount_in_foreground mnt cache "127.0.0.1:$server_port" --user ann
  dd if="$root/mnt/big.iso" of=/dev/null bs=128k status=none 2>/dev/null &
  local reader=$!
  sleep 1
  kill -9 "$mounter"
  wait "$reader" 2>/dev/null
  expect_refusal "$root/mnt is a stale mount (Transport endpoint is not connected): unmount it with fusermount3 -u $root/mnt" \
    "$root/mnt" --offline
  fusermount3 -u "$root/mnt" || fail "fusermount3 -u after SIGKILL failed"
  mountpoint -q "$root/mnt" && fail "still mounted"
  check_cache "$root/cache/big.iso" "$root/discs/big.iso" 2048
}

case_plugin_cache() {
  [ -n "$player" ] || fail "no player given"
  mkdir -p "$root/discs" "$root/play"
  # Beside the play: a path of this machine's would read as an option to a Windows program.
  cp "$(dirname "$player")/KorvaneCDVD.dll" "$root/play/" || fail "no KorvaneCDVD.dll beside $player"
  head -c $((1200 * 2048)) /dev/urandom >"$root/discs/a.iso"
  head -c $((900 * 2048)) /dev/urandom >"$root/discs/b.iso"
  start_server --allow-anyone
  # What the mount cached, the plugin replays offline.
  mount_server mnt play/Games
  same_bytes "$root/mnt/a.iso" "$root/discs/a.iso"
  unmount mnt
  play_through_plugin 1200 --cache a.iso.Block --verify '..\discs\a.iso'
  # What the plugin cached from the server, the mount replays offline.
  play_through_plugin 900 --connect "127.0.0.1:$server_port" --disc b.iso --verify '..\discs\b.iso'
  mount_at offline play/Games --offline
  same_bytes "$root/offline/b.iso" "$root/discs/b.iso"
  same_bytes "$root/offline/a.iso" "$root/discs/a.iso"
  unmount offline
}

case_shared_cache() {
  [ -n "$player" ] || fail "no player given"
  mkdir -p "$root/discs" "$root/play"
  cp "$(dirname "$player")/KorvaneCDVD.dll" "$root/play/" || fail "no KorvaneCDVD.dll beside $player"
  local sectors=30000 size=$((30000 * 2048))
  head -c "$size" /dev/urandom >"$root/discs/shared.iso"
  start_server --allow-anyone --run-max 64
  mount_server one play/Games
  mount_server two play/Games
  local readers=() reader
  (cmp "$root/one/shared.iso" "$root/discs/shared.iso" >"$root/cmp.log" 2>&1) &
  readers+=($!)
  (random_chunks_match "$root/two/shared.iso" "$root/discs/shared.iso" 65536 300 7) &
  readers+=($!)
  (play_through_plugin 3000 --connect "127.0.0.1:$server_port" --disc shared.iso \
    --count "$sectors" --random 3000 --verify '..\discs\shared.iso') &
  readers+=($!)
  for reader in "${readers[@]}"; do wait "$reader" || fail "a reader met other bytes: $(cat "$root/cmp.log")"; done
  unmount one
  unmount two
  check_cache "$root/play/Games/shared.iso" "$root/discs/shared.iso" 2048
  stored_once "$root/play/Games/shared.iso" 2048
  mount_at offline play/Games --offline
  same_bytes "$root/offline/shared.iso" "$root/discs/shared.iso"
  unmount offline
}

case_full_cache() {
  mkdir -p "$root/discs"
  local size=$((16 * 1024 * 1024))
  head -c "$size" /dev/urandom >"$root/discs/big.iso"
  start_server --allow-anyone --run-max 64
  small_tmpfs locked 1m ro
  mount_server mnt locked
  grep -q "cache folder $root/locked cannot be written (Read-only file system)" "$root/mount.log" ||
    fail "a read-only cache folder was not named at start"
  same_bytes "$root/mnt/big.iso" "$root/discs/big.iso"
  unmount mnt
  # Full at start, then with room for a quarter of the disc: named at start, then once.
  small_tmpfs tiny 4m
  head -c $((4 * 1024 * 1024)) /dev/zero >"$root/tiny/filler" 2>/dev/null
  : >"$root/mount.log"
  mount_in_foreground mnt tiny "127.0.0.1:$server_port" --user anyone --password any
  grep -q "cache folder $root/tiny cannot be written (No space left on device)" "$root/mount.log" ||
    fail "a full cache folder was not named at start"
  rm -f "$root/tiny/filler"
  same_bytes "$root/mnt/big.iso" "$root/discs/big.iso"
  [ "$(grep -c "the cache of big.iso cannot be written" "$root/mount.log")" = 1 ] ||
    fail "the failing cache was not named once: $(grep -c cannot "$root/mount.log") lines"
  unmount mnt
  wait "$mounter"
  check_cache "$root/tiny/big.iso" "$root/discs/big.iso" 2048
}

case_fstab() {
  mkdir -p "$root/discs" "$root/mnt"
  head -c $((900 * 2048)) /dev/urandom >"$root/discs/game.iso"
  make_raw_image "$root/discs/raw.bin" 700
  printf 'ann:secret\n' >"$root/accounts"
  printf 'secret\n' >"$root/ann.pass"
  start_server --accounts "$root/accounts" --max-login-delay-ms 0
  # mount(8) runs its FUSE helper with no PATH, so the line names the program by its path.
  local options="_netdev,noauto,nofail,defaults,allow_other,ro,max_read=131072,login=ann"
  options+=",password_file=$root/ann.pass,cache=$root/cache"
  printf '%s %s fuse %s 0 0\n' "$mount#127.0.0.1:$server_port" "$root/mnt" "$options" \
    >"$root/fstab"
  mount -T "$root/fstab" "$root/mnt" >>"$root/mount.log" 2>&1 || fail "mount of the fstab line failed"
  mounted+=("$root/mnt")
  local fstype
  fstype=$(findmnt -no FSTYPE "$root/mnt") || fail "mount -T mounted nothing at $root/mnt"
  [ "$fstype" = fuse.korvane-mount ] || fail "mounted as $fstype, which a unit's Type= would not match"
  chmod 755 "$root"
  setpriv --reuid=nobody --regid=nogroup --clear-groups \
    cmp "$root/mnt/game.iso" "$root/discs/game.iso" >"$root/cmp.log" 2>&1 ||
    fail "another user could not read the disc: $(cat "$root/cmp.log")"
  same_bytes "$root/mnt/raw.bin" "$root/discs/raw.bin"
  check_cache "$root/cache/game.iso" "$root/discs/game.iso" 2048
  umount "$root/mnt" || fail "umount failed"
  mountpoint -q "$root/mnt" && fail "still mounted after umount"
  return 0
}

case_frozen_server() {
  mkdir -p "$root/discs"
  local mib=$((1024 * 1024))
  head -c $((32 * mib)) /dev/urandom >"$root/discs/disc.iso"
  start_server --allow-anyone --run-max 64
  mount_server mnt cache
  local disc=$root/mnt/disc.iso
  # A part in the middle, then the start through it: nothing stored twice.
  dd if="$disc" of=/dev/null bs=128k skip=32 count=32 status=none || fail "reading 4 MiB at 4 MiB"
  cmp -n $((16 * mib)) "$disc" "$root/discs/disc.iso" || fail "the first 16 MiB differ"
  stored_once "$root/cache/disc.iso" 2048
  kill -STOP "$server_pid"
  local start
  start=$(now)
  (dd if="$disc" of=/dev/null iflag=direct bs=1M skip=24 count=4 2>"$root/stalled.log"
   echo $? >"$root/stalled.rc") &
  local stalled=$!
  sleep 0.5
  dd if="$disc" of="$root/cached.part" iflag=direct bs=128k skip=8 count=32 status=none ||
    fail "a read of cached sectors failed"
  elapsed_below "$start" 5 || fail "a read of cached sectors waited behind the stalled one"
  cmp "$root/cached.part" <(tail -c +$((1 * mib + 1)) "$root/discs/disc.iso" | head -c $((4 * mib))) ||
    fail "the cached sectors differ"
  wait "$stalled"
  elapsed_below "$start" 14 || fail "the read that needs the server took more than its bound"
  [ "$(cat "$root/stalled.rc")" != 0 ] && grep -q "Input/output error" "$root/stalled.log" ||
    fail "the stalled read did not fail with EIO: $(cat "$root/stalled.log")"
  kill -CONT "$server_pid"
  unmount mnt
}

"case_$case_name"
