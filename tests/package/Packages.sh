#!/usr/bin/env bash
# The releases in DIST_FOLDER as a user gets them.
#
#   both Debian packages   unpacked into a scratch root (dpkg -x): each holds its program,
#                          its manual page (troff that groff reads without a warning, naming
#                          every option of the program's --help), its copyright (the
#                          machine-readable format, with the project's licence as LICENSE
#                          has it) and the changelog (for the package's version); Depends
#                          names the package of every shared library the program needs
#   korvane-server         its systemd unit passes systemd-analyze verify against the
#                          unpacked tree and needs no folder the package does not make; the
#                          maintainer scripts, run for real in a mount namespace over a copy
#                          of /etc, make the system user without a word, and stop the running
#                          instances on removal (through a stand-in systemctl); the program
#                          answers --help, starts from the sample configuration, and serves
#                          a disc that a player plays whole and byte for byte
#   korvane-mount          Depends on fuse3; the program answers --help, and mounts that
#                          server's discs (as root, with /dev/fuse), where the disc reads
#                          byte for byte as its image, then unmounts with fusermount3 -u
#   the Windows zip        (when DIST_FOLDER holds one) the user guide and the licence have
#                          CR LF line ends, the guide names both DLLs as hosts list them
#
#   Packages.sh DIST_FOLDER PLAYER SOURCE_FOLDER    (PLAYER: korvane_fault_player)
#
# Exits 77 (skipped) when DIST_FOLDER holds no package: `./run package` makes them, and
# `./run test` does so before the tests. A check whose tool or privilege this machine lacks
# says so and is left out.
set -euo pipefail
dist=$1
player=$2
source=$3
server_deb=$(ls "$dist"/korvane-server_*.deb 2>/dev/null | head -n 1 || true)
mount_deb=$(ls "$dist"/korvane-mount_*.deb 2>/dev/null | head -n 1 || true)
zip=$(ls "$dist"/KorvaneCDVD-*-win32.zip 2>/dev/null | head -n 1 || true)
if [ -z "$server_deb" ]; then
  echo "skipped: no korvane-server package in $dist (./run package makes one)"
  exit 77
fi
root=$(mktemp -d)
pid=""
mounted=""
finish() {
  if [ -n "$mounted" ]; then
    fusermount3 -u "$mounted" 2>/dev/null || fusermount3 -u -z "$mounted" 2>/dev/null || true
  fi
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$root"
}
trap finish EXIT
fail() {
  echo "FAILED: $*"
  local log
  for log in "$root"/*.log; do [ -f "$log" ] && { echo "--- $log"; tail -n 20 "$log"; }; done
  exit 1
}
note() { echo "note: $*"; }
[ -n "$mount_deb" ] || fail "no korvane-mount package beside $server_deb"

# Checks what every package holds: PACKAGE DEB SECTION, unpacked into $root/PACKAGE.
check_package() {
  local package=$1 deb=$2 section=$3 tree=$root/$1
  dpkg -x "$deb" "$tree"
  local program=$tree/usr/bin/$package docs=$tree/usr/share/doc/$package
  [ -x "$program" ] || fail "no /usr/bin/$package in $deb"
  # Read whole first: grep -q would stop reading, and the help's writer die of SIGPIPE.
  local help
  help=$("$program" --help) || fail "$package --help failed"
  [ -n "$help" ] || fail "$package --help printed nothing"

  [ -f "$docs/copyright" ] || fail "no /usr/share/doc/$package/copyright in $deb"
  python3 - "$docs/copyright" "$source/LICENSE" <<'PY' || fail "$package's copyright file"
import re, sys
text, licence = open(sys.argv[1]).read(), open(sys.argv[2]).read()
paragraphs = [p for p in re.split(r"\n\s*\n", text.strip()) if p.strip()]
def fields(paragraph):
    found, name = {}, None
    for line in paragraph.split("\n"):
        if line[:1] in (" ", "\t"):
            found[name] += "\n" + line.strip()
        else:
            name, _, value = line.partition(":")
            found[name] = value.strip()
    return found
header, rest = fields(paragraphs[0]), [fields(p) for p in paragraphs[1:]]
if header.get("Format") != "https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/":
    sys.exit("the first paragraph names no copyright format")
texts = {p["License"].split("\n")[0]: p["License"] for p in rest if "Files" not in p}
files = [p for p in rest if "Files" in p]
if not files or files[0]["Files"] != "*":
    sys.exit("no Files: * paragraph first")
for p in files:
    for field in ("Copyright", "License"):
        if not p.get(field):
            sys.exit(f"Files: {p['Files']} has no {field}")
    name = p["License"].split("\n")[0]
    if "\n" not in p["License"] and name not in texts:
        sys.exit(f"no text of the licence {name}")
def words(t):
    return re.sub(r"[\s.]+", " ", t).strip()
own = texts.get(files[0]["License"].split("\n")[0], files[0]["License"])
if words(licence[licence.index("Permission"):]) != words(own[own.index("Permission"):]):
    sys.exit("the project's licence is not LICENSE's text")
PY

  [ -f "$docs/changelog.Debian.gz" ] || fail "no /usr/share/doc/$package/changelog.Debian.gz"
  gzip -dc "$docs/changelog.Debian.gz" >"$root/changelog" || fail "$package's changelog is no gzip"
  if command -v dpkg-parsechangelog >/dev/null; then
    local version
    version=$(dpkg-parsechangelog -l "$root/changelog" -S Version 2>"$root/changelog.log") ||
      fail "$package's changelog does not parse"
    [ ! -s "$root/changelog.log" ] || fail "$package's changelog: $(cat "$root/changelog.log")"
    [ "$version" = "$(dpkg-deb -f "$deb" Version)" ] ||
      fail "$package's changelog is for $version, the package $(dpkg-deb -f "$deb" Version)"
  else
    note "no dpkg-parsechangelog: $package's changelog is not parsed"
  fi

  local page=$tree/usr/share/man/man$section/$package.$section.gz
  if [ -f "$source/packaging/man/$package.$section" ] || [ -f "$page" ]; then
    [ -f "$page" ] || fail "no /usr/share/man/man$section/$package.$section.gz in $deb"
    gzip -dc "$page" >"$root/page" || fail "$package's manual page is no gzip"
    if command -v groff >/dev/null; then
      groff -man -ww -z -Tutf8 "$root/page" >"$root/groff.log" 2>&1 || true
      [ ! -s "$root/groff.log" ] || fail "groff on $package's manual page: $(cat "$root/groff.log")"
    fi
    # Each option of --help, with troff's escapes and fonts taken out.
    sed -e 's/\\-/-/g' -e 's/\\f[A-Z]//g' -e 's/\\f\[[A-Z]*\]//g' "$root/page" >"$root/page.txt"
    local option
    for option in $(grep -o -- '--[a-z][a-z0-9-]*' <<<"$help" | sort -u); do
      grep -qE -- "(^|[^-a-z])$option([^-a-z0-9]|\$)" "$root/page.txt" ||
        fail "$package's manual page does not tell of $option"
    done
  else
    note "this tree has no $package.$section manual page yet"
  fi

  # Every shared library the program needs comes from a package that Depends names.
  local depends lib candidate owner
  depends=" $(dpkg-deb -f "$deb" Depends | sed 's/ *([^)]*)//g; s/,/ /g') "
  for lib in $(ldd "$program" | awk '/=>/ {print $3} /^[ \t]*\// {print $1}'); do
    owner=""
    for candidate in "$lib" "/usr$lib" "$(readlink -f "$lib")"; do
      owner=$(dpkg -S "$candidate" 2>/dev/null | head -n 1 | cut -d: -f1) && [ -n "$owner" ] && break
    done
    [ -n "$owner" ] || { note "$lib belongs to no package here"; continue; }
    case "$depends" in *" $owner "*) ;; *) fail "$package needs $lib of $owner, not in Depends:$depends" ;; esac
  done
}

check_package korvane-server "$server_deb" 8
check_package korvane-mount "$mount_deb" 1
case " $(dpkg-deb -f "$mount_deb" Depends | sed 's/ *([^)]*)//g; s/,/ /g') " in
  *" fuse3 "*) ;;
  *) fail "korvane-mount does not depend on fuse3 (fusermount3)" ;;
esac

# The server's package: its unit, its maintainer scripts, its program serving a disc.
installed=$root/korvane-server
server="$installed/usr/bin/korvane-server"
unit="$installed/usr/lib/systemd/system/korvane-server@.service"
[ -f "$unit" ] || fail "no systemd unit"
[ -f "$installed/etc/korvane/35000.conf" ] || fail "no sample configuration"
grep -q -- "--config" <<<"$("$server" --help)" || fail "--help does not list --config"
# A path the unit's sandbox needs (not marked optional with "-") that is missing keeps the
# service from starting: the package must make each.
for path in $(sed -n 's/^\(ReadOnly\|ReadWrite\|Inaccessible\|Exec\)Paths=//p' "$unit"); do
  case "$path" in -* | +*) continue ;; esac
  [ -e "$installed$path" ] || fail "the unit needs $path, which the package does not make"
done
if command -v systemd-analyze >/dev/null; then
  # Against the unpacked tree beside this machine's own units (the targets the service's
  # default dependencies name), so that the ExecStart program is the package's.
  units=/usr/lib/systemd/system
  [ -d "$units" ] || units=/lib/systemd/system
  mkdir -p "$root/verify/usr/lib/systemd/system"
  cp -a "$units/." "$root/verify/usr/lib/systemd/system/"
  cp -a "$installed/." "$root/verify/"
  systemd-analyze verify --recursive-errors=no --root="$root/verify" \
    korvane-server@35000.service >"$root/verify.log" 2>&1 ||
    fail "systemd-analyze verify: $(cat "$root/verify.log")"
  [ ! -s "$root/verify.log" ] || fail "systemd-analyze verify: $(cat "$root/verify.log")"
else
  note "no systemd-analyze (package systemd): the unit is not verified"
fi

if [ "$(id -u)" = 0 ] && command -v adduser >/dev/null && unshare -m true 2>/dev/null; then
  dpkg-deb -e "$server_deb" "$root/control"
  # Stand-ins that write down how they were called.
  mkdir -p "$root/stand-ins"
  for tool in systemctl deb-systemd-invoke; do
    printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$tool" "$root/calls" >"$root/stand-ins/$tool"
    chmod +x "$root/stand-ins/$tool"
  done
  unshare -m bash -s "$root" >"$root/scripts.log" 2>&1 <<'SH' || fail "the maintainer scripts"
set -eu
root=$1
# This shell's own /etc and /run, where no systemd runs: nothing reaches the machine's.
cp -a /etc "$root/etc"
mount --bind "$root/etc" /etc
mount -t tmpfs korvane-test /run
if getent passwd korvane >/dev/null; then userdel korvane; fi
if getent group korvane >/dev/null; then groupdel korvane; fi
# Installing with no systemd running: not a word, and the user that owns nothing.
out=$("$root/control/postinst" configure 2>&1) || { echo "postinst configure failed: $out"; exit 1; }
[ -z "$out" ] || { echo "postinst configure said: $out"; exit 1; }
entry=$(getent passwd korvane) || { echo "no user korvane"; exit 1; }
case "$entry" in
  *:/nonexistent:/usr/sbin/nologin) ;;
  *) echo "korvane is $entry, not a user with no home and no shell"; exit 1 ;;
esac
getent group korvane >/dev/null || { echo "no group korvane"; exit 1; }
out=$("$root/control/prerm" remove 2>&1) || { echo "prerm remove failed: $out"; exit 1; }
[ -z "$out" ] || { echo "prerm remove said: $out"; exit 1; }
# Under systemd: an upgrade reloads the units and restarts the instances that run, and a
# removal stops them all.
mkdir -p /run/systemd/system
PATH=$root/stand-ins:$PATH "$root/control/postinst" configure 0.1
PATH=$root/stand-ins:$PATH "$root/control/prerm" remove
expected='systemctl daemon-reload
systemctl try-restart korvane-server@*.service
deb-systemd-invoke stop korvane-server@*.service'
[ "$(cat "$root/calls")" = "$expected" ] || { echo "the scripts called: $(cat "$root/calls")"; exit 1; }
SH
else
  note "not root, or no adduser or unshare: the maintainer scripts are not run"
fi

# A disc of 64 sectors, served as the sample configuration serves its folder.
mkdir -p "$root/discs" "$root/play"
head -c $((64 * 2048)) /dev/urandom >"$root/discs/disc.iso"
sed -e "s|^folder = .*|folder = $root/discs|" -e "s|^accounts = .*|allow-anyone = true|" \
  -e "s|^bind = .*|bind = 127.0.0.1|" "$installed/etc/korvane/35000.conf" >"$root/test.conf"
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

# The mount's package: its program mounts that server's discs.
if [ -c /dev/fuse ] && [ -r /dev/fuse ] && [ -w /dev/fuse ] && [ "$(id -u)" = 0 ]; then
  mkdir -p "$root/mnt" "$root/cache"
  "$root/korvane-mount/usr/bin/korvane-mount" "127.0.0.1:$port" "$root/mnt" --user anyone \
    --password any --cache "$root/cache" >"$root/mount.log" 2>&1 || fail "korvane-mount failed"
  mounted=$root/mnt
  cmp "$root/mnt/disc.iso" "$root/discs/disc.iso" >"$root/cmp.log" 2>&1 ||
    fail "the mounted disc is not the image: $(cat "$root/cmp.log")"
  fusermount3 -u "$root/mnt" || fail "fusermount3 -u failed"
  mounted=""
else
  note "no usable /dev/fuse, or not root: the mount's program is not mounted"
fi

# The Windows zip: texts for Notepad, and the names hosts list.
if [ -n "$zip" ]; then
  python3 - "$zip" "$source/src/core/base/LibraryIdentity.h" <<'PY' || fail "$zip"
import re, sys, zipfile
archive = zipfile.ZipFile(sys.argv[1])
names = set(archive.namelist())
for text in ("USER-GUIDE.txt", "LICENSE.txt"):
    if text not in names:
        sys.exit(f"no {text}")
    data = archive.read(text)
    if not data or data.count(b"\n") != data.count(b"\r\n"):
        sys.exit(f"{text} has line ends other than CR LF")
if not any(n.startswith("licences/") for n in names):
    sys.exit("no licences/")
guide = archive.read("USER-GUIDE.txt").decode()
identity = open(sys.argv[2]).read()
for constant in ("kLibraryName", "kTitledLibraryName"):
    name = re.search(constant + r'\[\] = "([^"]*)"', identity).group(1)
    if f'"{name}"' not in guide:
        sys.exit(f"the guide does not name {name}")
PY
else
  note "no Windows zip in $dist: it is not checked"
fi
echo "both packages hold their program, manual page, copyright and changelog; the server's" \
  "unit and scripts hold up, it served a whole disc from its configuration, and the mount" \
  "read it"
