# The mount tests' shared steps: images, the server program, mounts. Sourced by
# MountTest.sh, whose variables (root, server, mount, server_pid, server_port, mounted)
# these use.

# A raw image of N 2352-byte sectors: each starts with the CD sync pattern, so that the
# server takes it for a raw image, then its LSN and random bytes.
make_raw_image() {  # make_raw_image PATH SECTORS
  python3 - "$1" "$2" <<'PY'
import os, sys
path, count = sys.argv[1], int(sys.argv[2])
sync = b"\x00" + b"\xff" * 10 + b"\x00"
with open(path, "wb") as out:
    for lsn in range(count):
        out.write(sync + lsn.to_bytes(4, "little") + os.urandom(2352 - 16))
PY
}

# An ISO 9660 image of a few files, made by xorriso; the files stay in $root/src.
make_iso() {  # make_iso PATH
  mkdir -p "$root/src/sub"
  head -c 3000000 /dev/urandom >"$root/src/big.bin"
  head -c 70001 /dev/urandom >"$root/src/sub/odd.dat"
  echo "a small text" >"$root/src/readme.txt"
  xorriso -as mkisofs -quiet -R -o "$1" "$root/src" >/dev/null 2>&1 || fail "xorriso made no ISO"
}

start_server() {  # start_server [OPTIONS...]: serves $root/discs on $server_port (or any)
  "$server" --folder "$root/discs" --bind 127.0.0.1 --port "${server_port:-0}" "$@" \
    >>"$root/server.log" 2>&1 &
  server_pid=$!
  local port=""
  for _ in $(seq 1 100); do
    port=$(sed -n 's/.* on 127\.0\.0\.1:\([0-9]*\) with.*/\1/p' "$root/server.log" | tail -n 1)
    [ -n "$port" ] && break
    sleep 0.1
  done
  [ -n "$port" ] || fail "the server told no port"
  server_port=$port
}

stop_server() {
  kill -9 "$server_pid" 2>/dev/null
  wait "$server_pid" 2>/dev/null
  server_pid=""
}

# Mounts at $root/POINT with the cache in $root/CACHE; the rest goes to korvane-mount.
mount_at() {  # mount_at POINT CACHE [OPTIONS...]
  local point=$root/$1 cache=$root/$2
  shift 2
  mkdir -p "$point"
  "$mount" "$@" "$point" --cache "$cache" >>"$root/mount.log" 2>&1 ||
    fail "korvane-mount $* $point failed"
  mounted+=("$point")
}

# As mount_at, but in the foreground with its output in mount.log, as a job of this shell
# whose process id is then in $mounter; returns once the mount is up.
mount_in_foreground() {  # mount_in_foreground POINT CACHE [OPTIONS...]
  local point=$root/$1 cache=$root/$2
  shift 2
  mkdir -p "$point"
  "$mount" "$@" "$point" --cache "$cache" --foreground >>"$root/mount.log" 2>&1 &
  mounter=$!
  mounted+=("$point")
  for _ in $(seq 1 100); do mountpoint -q "$point" && return 0; sleep 0.1; done
  fail "the foreground mount at $point did not come up"
}

mount_server() {  # mount_server POINT CACHE: the server's discs, logged in as any user
  mount_at "$1" "$2" "127.0.0.1:$server_port" --user anyone --password any
}

unmount() {  # unmount POINT
  fusermount3 -u "$root/$1" || fail "fusermount3 -u $1 failed"
}

same_bytes() {  # same_bytes FILE IMAGE
  cmp "$1" "$2" >"$root/cmp.out" 2>&1 || fail "$1 differs from $2: $(cat "$root/cmp.out")"
}

# The mount must fail: exit status not 0, and one line of output that holds TEXT.
expect_refusal() {  # expect_refusal TEXT MOUNTPOINT ARGS...
  local text=$1 point=$2 out status before=no
  shift 2
  mountpoint -q "$point" 2>/dev/null && before=yes
  out=$(KORVANE_PASSWORD=secret "$mount" "$@" "$point" --cache "$root/cache" 2>&1)
  status=$?
  [ "$status" -ne 0 ] || fail "korvane-mount $* succeeded"
  [ "$(printf '%s\n' "$out" | wc -l)" = 1 ] || fail "more than one line: $out"
  case "$out" in *"$text"*) ;; *) fail "'$out' does not say '$text'" ;; esac
  [ "$before" = no ] && mountpoint -q "$point" 2>/dev/null && fail "$point was mounted"
  return 0
}

# Plays through the plugin DLL under Wine in $root/play, whose Games folder is the cache;
# every one of COUNT sectors must be read and match.
play_through_plugin() {  # play_through_plugin COUNT PLAYER-OPTIONS...
  local count=$1
  shift
  (cd "$root/play" && "$wine_run" "$player" KorvaneCDVD.dll --mode 3 --no-iso --no-progress "$@") \
    >"$root/play.log" 2>&1
  grep -q "summary: $count reads, $count ok, 0 failed, 0 null buffers, $count verified, 0 mismatched" \
    "$root/play.log" || fail "the plugin's play $*: $(tail -n 3 "$root/play.log")"
}

# Every entry of the cache BASE.map / BASE.Block whose bytes the .Block holds has its
# sector's bytes of IMAGE (sectors of SECTOR_SIZE bytes); lines are "lsn/mode/offset" and end
# in CR LF, but for a torn last one. At least one entry must be there.
check_cache() {  # check_cache BASE IMAGE SECTOR_SIZE
  python3 - "$1" "$2" "$3" <<'PY' || fail "the cache $1 does not hold its image's bytes"
import re, sys
base, image, size = sys.argv[1], sys.argv[2], int(sys.argv[3])
text = open(base + ".map", "rb").read()
block = open(base + ".Block", "rb").read()
disc = open(image, "rb").read()
lines = text.split(b"\r\n")
checked = 0
for number, line in enumerate(lines):
    last = number == len(lines) - 1
    match = re.fullmatch(rb"(-?\d+)/(\d+)/(\d+)", line)
    if not match:
        if last:
            continue  # torn, or the empty rest after the final CR LF
        sys.exit(f"line {number + 1} is no entry: {line!r}")
    lsn, mode, offset = (int(g) for g in match.groups())
    lsn &= 0xFFFFFFFF
    length = {0: 2352, 1: 2340, 3: 2048}[mode]
    if offset + length > len(block):
        continue  # never served: its bytes are not all there
    if block[offset:offset + length] != disc[lsn * size:lsn * size + length]:
        sys.exit(f"entry {number + 1} (LSN {lsn}) holds other bytes")
    checked += 1
if checked == 0:
    sys.exit("no entry")
PY
}

# Reads COUNT chunks of CHUNK bytes at random places of FILE and checks each against IMAGE;
# the first difference fails the test.
random_chunks_match() {  # random_chunks_match FILE IMAGE CHUNK COUNT SEED
  python3 - "$@" <<'PY' || fail "random chunks of $1 differ from $2"
import os, random, sys
path, image, chunk, count, seed = sys.argv[1], sys.argv[2], *map(int, sys.argv[3:6])
size = os.path.getsize(image)
rng = random.Random(seed)
with open(path, "rb") as got, open(image, "rb") as want:
    for n in range(count):
        at = rng.randrange(0, max(1, size - chunk))
        got.seek(at)
        want.seek(at)
        if got.read(chunk) != want.read(chunk):
            sys.exit(f"chunk {n} at {at} differs")
PY
}

# No sector of cache BASE was stored twice: each LSN and mode has one line, and the .Block
# holds no bytes beyond its lines' sectors of SECTOR_SIZE.
stored_once() {  # stored_once BASE SECTOR_SIZE
  python3 - "$1" "$2" <<'PY' || fail "the cache $1 holds sectors twice"
import os, sys
base, size = sys.argv[1], int(sys.argv[2])
lines = [l for l in open(base + ".map", "rb").read().split(b"\r\n") if l]
keys = {tuple(l.split(b"/")[:2]) for l in lines}
block = os.path.getsize(base + ".Block")
if len(keys) != len(lines) or block > len(lines) * size:
    sys.exit(f"{len(lines)} lines, {len(keys)} sectors, {block} bytes of .Block")
PY
}

# A tmpfs of SIZE at $root/NAME (options after), for a cache that fills up or cannot be
# written; skips the case where this machine cannot mount one.
small_tmpfs() {  # small_tmpfs NAME SIZE [ro]
  mkdir -p "$root/$1"
  mount -t tmpfs -o "size=$2${3:+,$3}" korvane-test "$root/$1" 2>/dev/null || {
    echo "skipped: no tmpfs can be mounted here"
    exit 77
  }
  tmpfs_points+=("$root/$1")
}

# Seconds since the epoch, with milliseconds.
now() { date +%s.%N | cut -c1-14; }
elapsed_below() {  # elapsed_below START SECONDS: true when less than SECONDS passed since START
  python3 -c "import sys,time; sys.exit(0 if time.time() - float(sys.argv[1]) < float(sys.argv[2]) else 1)" "$1" "$2"
}
