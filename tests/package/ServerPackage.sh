#!/usr/bin/env bash
# The disc server's Debian package as a user gets it: unpacked into a scratch root
# (dpkg -x), it holds the program, its systemd unit and a sample configuration; the program
# answers --help, starts from a configuration file, and serves a disc that a player plays
# whole and byte for byte.
#
#   ServerPackage.sh DIST_FOLDER PLAYER    (PLAYER: korvane_fault_player)
#
# Exits 77 (skipped) when DIST_FOLDER holds no package: `./run package` makes it, and
# `./run test` does so before the tests.
set -euo pipefail
dist=$1
player=$2
deb=$(ls "$dist"/korvane-server_*.deb 2>/dev/null | head -n 1 || true)
if [ -z "$deb" ]; then
  echo "skipped: no korvane-server package in $dist (./run package makes one)"
  exit 77
fi
root=$(mktemp -d)
pid=""
finish() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$root"
}
trap finish EXIT
fail() { echo "FAILED: $*"; [ -f "$root/server.log" ] && cat "$root/server.log"; exit 1; }

dpkg -x "$deb" "$root/installed"
server="$root/installed/usr/bin/korvane-server"
[ -x "$server" ] || fail "no /usr/bin/korvane-server in $deb"
[ -f "$root/installed/usr/lib/systemd/system/korvane-server@.service" ] || fail "no systemd unit"
[ -f "$root/installed/etc/korvane/35000.conf" ] || fail "no sample configuration"
# Read whole first: grep -q would stop reading, and the help's writer die of SIGPIPE.
help=$("$server" --help) || fail "--help failed"
grep -q -- "--config" <<<"$help" || fail "--help does not list --config"

# A disc of 64 sectors, served as the sample configuration serves its folder.
mkdir -p "$root/discs" "$root/play"
head -c $((64 * 2048)) /dev/urandom >"$root/discs/disc.iso"
sed -e "s|^folder = .*|folder = $root/discs|" -e "s|^accounts = .*|allow-anyone = true|" \
  -e "s|^bind = .*|bind = 127.0.0.1|" "$root/installed/etc/korvane/35000.conf" >"$root/test.conf"
"$server" --config "$root/test.conf" --port 0 >"$root/server.log" 2>&1 &
pid=$!
port=""
for _ in $(seq 1 100); do
  port=$(sed -n 's/.* on 127\.0\.0\.1:\([0-9]*\) with.*/\1/p' "$root/server.log" | head -n 1)
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || fail "the server told no port"
"$player" "$root/play" "$port" 0 disc.iso 64 3 >"$root/player.log" 2>&1 ||
  fail "the play failed: $(cat "$root/player.log")"
cmp -n $((64 * 2048)) "$root/play/Games/disc.iso.Block" "$root/discs/disc.iso" ||
  fail "the sectors played are not the disc's"
echo "the package's server answered --help and served a whole disc from its configuration"
