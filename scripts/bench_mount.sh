# The mount's benchmarks, sourced by scripts/bench.sh (which gives WORK, BUILD, SERVER_PID,
# SHAPER_PID, section, close_section, port_in and stop_children): korvane-mount over the disc
# server program, each figure against its baseline in the same run.
#   sequential: dd of a disc through the mount from an empty cache, against a plain TCP
#     transfer of the same bytes on loopback; then over the link shaper, against the link;
#   warm: the same disc read again from its block cache in a new mount, against a local
#     copy of the image, both read from the disk and then both from the page cache;
#   random: 4 KiB O_DIRECT reads of an uncached disc over the shaper, their p99 against one
#     round trip and 16 sectors at the link's rate;
#   full cache: the first 64 MiB read over the shaper with the cache on an 8 MiB tmpfs that
#     fills up, against the link;
#   mixed: a disc read in part, at random, then whole and again on loopback: its .Block's
#     size against the image's.
# A mount runs in the foreground as a child of the script, so that its process is known;
# it is unmounted with fusermount3 -u, then waited for.

MOUNT_PID=""
MOUNT_POINT=""
SERVER_PORT=""
MOUNT_RTT_MS=50 MOUNT_MBPS=8 MOUNT_RANDOM_READS=300 MOUNT_LINK_MB=${MOUNT_LINK_MB:-300}

mount_discs() {  # mount_discs PORT CACHE: the server at 127.0.0.1:PORT on MOUNT_POINT
  MOUNT_POINT="$WORK/mount/mnt"
  mkdir -p "$MOUNT_POINT" "$2"
  "$BUILD/bench/bin/korvane-mount" "127.0.0.1:$1" "$MOUNT_POINT" --user bench \
    --password bench --cache "$2" --foreground >>"$WORK/mount/mount.log" 2>&1 &
  MOUNT_PID=$!
  local _
  for _ in $(seq 1 100); do
    if mountpoint -q "$MOUNT_POINT"; then return 0; fi
    sleep 0.1
  done
  tail -5 "$WORK/mount/mount.log" >&2
  return 1
}

unmount_discs() {  # unmount_discs: the mount of mount_discs, if there is one
  [ -n "$MOUNT_PID" ] || return 0
  fusermount3 -u "$MOUNT_POINT" 2>/dev/null || true
  wait "$MOUNT_PID" 2>/dev/null || true
  MOUNT_PID=""
}

start_server() {  # start_server [OPTIONS...]: the server program on its folder, at SERVER_PORT
  "$BUILD/bench/bin/korvane-server" --folder "$WORK/mount/served" --allow-anyone \
    --bind 127.0.0.1 --port 0 "$@" >"$WORK/mount/server.log" 2>&1 &
  SERVER_PID=$!
  SERVER_PORT=$(port_in "$WORK/mount/server.log" 'on 127\.0\.0\.1:')
}

read_rate() {  # read_rate FILE [MIB]: MB/s of reading FILE (whole, or its first MIB MiB)
  local start end bytes
  start=$(date +%s.%N)
  dd if="$1" of=/dev/null bs=1M ${2:+count=$2} status=none
  end=$(date +%s.%N)
  bytes=$(stat -c %s "$1")
  [ -n "${2:-}" ] && bytes=$(($2 * 1024 * 1024))
  awk -v b="$bytes" -v s="$start" -v e="$end" 'BEGIN { printf "%.1f", b / 1e6 / (e - s) }'
}

forget_pages() {  # forget_pages FILES...: written to the disk, then out of the page cache
  local file
  for file in "$@"; do
    sync "$file"
    dd if="$file" iflag=nocache count=0 status=none
  done
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

figure() {  # figure NAME MEASURED UNIT BASELINE_TEXT RATIO TARGET: one line of the table
  printf '%-44s %9s %-5s %-34s %6s  %s\n' "$@" | tee -a "$WORK/report"
}

# The discs: one of 300 MB, two thirds random bytes and a third text (like the one played
# under Wine), and one of MOUNT_LINK_MB (300) MB of random bytes for the shaped link, where
# compression would flatter the figures; a disc that long makes the login and the runs'
# first growth a small part of the time, as on a real disc.
make_mount_discs() {
  mkdir -p "$WORK/mount/served"
  head -c 200M /dev/urandom >"$WORK/mount/served/disc.iso"
  { yes "KORVANE BENCH DATA" | head -c 100M || true; } >>"$WORK/mount/served/disc.iso"
  head -c "${MOUNT_LINK_MB}M" /dev/urandom >"$WORK/mount/served/link.iso"
}

mount_on_loopback() {  # the 300 MB disc: cold against plain TCP, then warm against a copy
  local disc="$WORK/mount/served/disc.iso" cache="$WORK/mount/cache-loopback" tcp cold
  local warm local_disk hot local_hot
  tcp=$("$BUILD/bench/bin/mount_bench" tcp "$disc" | awk '{ print $2 }')
  start_server
  mount_discs "$SERVER_PORT" "$cache"
  cold=$(read_rate "$MOUNT_POINT/disc.iso")
  cmp -s "$MOUNT_POINT/disc.iso" "$disc" || { echo "the mount gave other bytes" >&2; exit 1; }
  unmount_discs
  figure "sequential, loopback, empty cache" "$cold" MB/s "plain TCP $tcp MB/s" \
    "$(ratio "$cold" "$tcp")" "-"
  # A new mount has no page cache of its file; the .Block and the copy are read from the
  # disk first, then (read once just now) from the page cache.
  forget_pages "$cache/disc.iso.Block" "$disc"
  mount_discs "$SERVER_PORT" "$cache"
  warm=$(read_rate "$MOUNT_POINT/disc.iso")
  local_disk=$(read_rate "$disc")
  unmount_discs
  mount_discs "$SERVER_PORT" "$cache"
  hot=$(read_rate "$MOUNT_POINT/disc.iso")
  local_hot=$(read_rate "$disc")
  unmount_discs
  stop_children
  figure "warm, block cache and copy from the disk" "$warm" MB/s "local copy $local_disk MB/s" \
    "$(ratio "$warm" "$local_disk")" ">= 0.50"
  figure "warm, both in the page cache" "$hot" MB/s "local copy $local_hot MB/s" \
    "$(ratio "$hot" "$local_hot")" "-"
  mixed_reads
}

mixed_reads() {  # the 300 MB disc in part, at random, whole and again: .Block over image
  local disc="$WORK/mount/served/disc.iso" cache="$WORK/mount/cache-mixed" block image
  start_server
  mount_discs "$SERVER_PORT" "$cache"
  dd if="$MOUNT_POINT/disc.iso" of=/dev/null bs=1M skip=128 count=64 status=none
  "$BUILD/bench/bin/mount_bench" random "$MOUNT_POINT/disc.iso" 300 >/dev/null
  dd if="$MOUNT_POINT/disc.iso" of=/dev/null bs=128k skip=40 count=100 status=none
  cmp -s "$MOUNT_POINT/disc.iso" "$disc" || { echo "the mount gave other bytes" >&2; exit 1; }
  unmount_discs
  mount_discs "$SERVER_PORT" "$cache"
  dd if="$MOUNT_POINT/disc.iso" of=/dev/null bs=1M status=none
  unmount_discs
  stop_children
  block=$(stat -c %s "$cache/disc.iso.Block")
  image=$(stat -c %s "$disc")
  figure "mixed reads: .Block size" "$((block / 1000000))" MB "image $((image / 1000000)) MB" \
    "$(ratio "$block" "$image")" "<= 1.02"
}

full_cache_over_link() {  # SHAPED: the shaper's port; the cache on an 8 MiB tmpfs
  local tiny="$WORK/mount/tiny" rate
  mkdir -p "$tiny"
  if ! mount -t tmpfs -o size=8m korvane-bench "$tiny" 2>/dev/null; then
    echo "full cache: skipped, no tmpfs can be mounted here" | tee -a "$WORK/report"
    return 0
  fi
  mount_discs "$1" "$tiny"
  rate=$(read_rate "$MOUNT_POINT/link.iso" 64)
  unmount_discs
  umount "$tiny"
  figure "sequential 64 MiB, full cache folder" "$rate" MB/s "link $MOUNT_MBPS MB/s" \
    "$(ratio "$rate" "$MOUNT_MBPS")" ">= 0.70"
}

mount_over_link() {  # the random disc over the shaper: sequential, then random reads
  local shaped seq floor line p99
  start_server --proxy-protocol
  "$BUILD/bench/bin/korvane-shaper" --server-port "$SERVER_PORT" --rtt-ms "$MOUNT_RTT_MS" \
    --mbps "$MOUNT_MBPS" --client-address 192.0.2.10 >"$WORK/mount/shaper.log" 2>&1 &
  SHAPER_PID=$!
  shaped=$(port_in "$WORK/mount/shaper.log" 'listening on 127\.0\.0\.1:')
  mount_discs "$shaped" "$WORK/mount/cache-link"
  seq=$(read_rate "$MOUNT_POINT/link.iso")
  unmount_discs
  figure "sequential, ${MOUNT_RTT_MS} ms ${MOUNT_MBPS} MB/s, empty cache" "$seq" MB/s \
    "link $MOUNT_MBPS MB/s" "$(ratio "$seq" "$MOUNT_MBPS")" ">= 0.80"
  mount_discs "$shaped" "$WORK/mount/cache-random"
  line=$("$BUILD/bench/bin/mount_bench" random "$MOUNT_POINT/link.iso" "$MOUNT_RANDOM_READS")
  unmount_discs
  p99=$(echo "$line" | awk '{ print $6 }')
  # One round trip, and 16 sectors at the link's rate (MB/s are bytes a microsecond).
  floor=$(awk -v r="$MOUNT_RTT_MS" -v m="$MOUNT_MBPS" \
    'BEGIN { printf "%.1f", r + 16 * 2048 / (m * 1e3) }')
  figure "random 4 KiB, p99 (median $(echo "$line" | awk '{ print $4 }') ms)" "$p99" ms \
    "rtt+16 sectors $floor ms" "$(ratio "$floor" "$p99")" "1.00 best"
  full_cache_over_link "$shaped"
  stop_children
  grep -E '^stopped:' "$WORK/mount/shaper.log" | sed 's/^/shaper /' | tee -a "$WORK/report"
}

bench_mount() {
  local title="korvane-mount: a disc server's discs read through FUSE (native)"
  printf '\n== %s\n' "$title"
  section "$title"
  if [ ! -w /dev/fuse ] || ! command -v fusermount3 >/dev/null; then
    echo "skipped: no usable /dev/fuse or fusermount3 here" | tee -a "$WORK/report"
    close_section
    return 0
  fi
  make_mount_discs
  cat <<EOF | tee -a "$WORK/report"
dd (1 MiB reads) through the mount, from open to close (the link's login included), of a
300 MB disc (two thirds random bytes, a third text) on loopback and of a ${MOUNT_LINK_MB} MB disc of
random bytes over the link shaper (the server sees a client on a network). warm: the 300 MB
disc read again in a new mount, its .Block and the local copy first both read from the disk
(their pages dropped with fadvise), then both from the page cache. random: $MOUNT_RANDOM_READS O_DIRECT
reads of 4 KiB at random offsets from an empty cache, after one that logs in. full cache:
the first 64 MiB of the random disc over the shaper with the cache folder on an 8 MiB tmpfs.
mixed: the 300 MB disc read 64 MiB at 128 MiB, at random (300 reads of 4 KiB), 12.5 MiB at
5 MiB, whole with cmp, and whole again in a new mount. Ratios: measured / baseline (for
random: baseline / p99; for mixed: the .Block's size / the image's); 1.00 is the baseline.

EOF
  figure "" measured "" "baseline" ratio target
  mount_on_loopback
  mount_over_link
  close_section
}
