#!/bin/sh
# The Debian packages, made by CPack from this build tree and checked as a
# Debian machine would take them, without installing anything onto it:
# - lintian accepts them;
# - `dpkg --root` installs them into a throw-away root, running the
#   maintainer scripts there (chrootless: they see the root as $DPKG_ROOT):
#   the files and modes, the user, the token, the directories, the unit
#   enabled; then a reinstall, a removal and a purge;
# - the unit passes `systemd-analyze verify` and rates 3.0 or better under
#   `systemd-analyze security`;
# - the installed programs, run from that root, print against m301sim, and
#   so does the C sample built against libbrenvik-dev there; the service
#   refuses to start until a printer is configured.
#   package_test.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1
src=$2
[ "$(id -u)" -eq 0 ] || { echo "SKIP: dpkg --root gives files to the package's user: root only"; exit 77; }

work=$(mktemp -d /tmp/brenvik-package.XXXXXX)
pids=
cleanup() {
    for pid in $pids; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
ok() { echo "ok: $*"; }

# What this machine has before; none of it may change.
host_state() {
    getent passwd brenvikd || true
    for f in /etc/brenvikd /var/lib/brenvikd /var/log/brenvik /etc/systemd/system/multi-user.target.wants/brenvikd.service; do
        [ -e "$f" ] && echo "$f exists"
    done
    true
}
host_before=$(host_state)
host_untouched() { [ "$(host_state)" = "$host_before" ] || fail "$1 changed this machine: $(host_state)"; }

# --- Build -----------------------------------------------------------------
cpack --config "$build/CPackConfig.cmake" -B "$work/debs" >"$work/cpack.log" 2>&1 \
    || { cat "$work/cpack.log"; fail "cpack"; }
debs=
for p in libbrenvik2 libbrenvik-dev brenvik-tools brenvikd; do
    deb=$(ls "$work/debs/${p}_"*.deb 2>/dev/null) || fail "no package $p"
    debs="$debs $deb"
done
ok "four packages:$(for d in $debs; do printf ' %s' "$(basename "$d")"; done)"

# --- lintian -----------------------------------------------------------------
# A tree configured for /usr/local (as the test builds are) has the libdir
# lib, so its pkg-config file is not where a cross build looks; `make
# package` configures for /usr and gets lib/<triplet>, where it is.
suppress=
if dpkg-deb -c "$work/debs/libbrenvik-dev_"*.deb | grep -q ' \./usr/lib/pkgconfig/'; then
    suppress="--suppress-tags pkg-config-unavailable-for-cross-compilation"
fi
# shellcheck disable=SC2086
lintian --fail-on error,warning --tag-display-limit 0 $suppress $debs >"$work/lintian.log" 2>&1 \
    || { cat "$work/lintian.log"; fail "lintian"; }
grep -E '^[EW]: ' "$work/lintian.log" && fail "lintian warned"
ok "lintian: no errors, no warnings"

# --- Install into a throw-away root --------------------------------------------
root=$work/root
mkdir -p "$root/etc" "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers" "$root/var/log"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
# The accounts a Debian base system has that the scripts rely on.
printf 'root:x:0:0:root:/root:/bin/sh\n' >"$root/etc/passwd"
printf 'root:x:0:\ndialout:x:20:\n' >"$root/etc/group"
printf 'root:*:19000:0:99999:7:::\n' >"$root/etc/shadow"
printf 'root:*::\ndialout:*::\n' >"$root/etc/gshadow"
chmod 0640 "$root/etc/shadow" "$root/etc/gshadow"
in_root() {  # dpkg in the root; its scripts run here, on $DPKG_ROOT
    dpkg --root="$root" --force-script-chrootless --force-depends --log="$work/dpkg.log" "$@" \
        >>"$work/dpkg.out" 2>&1 || { cat "$work/dpkg.out"; fail "dpkg $*"; }
}
in_root -i $debs
host_untouched "installing"

user=$(grep '^brenvikd:' "$root/etc/passwd") || fail "no user brenvikd"
uid=$(echo "$user" | cut -d: -f3)
gid=$(grep '^brenvikd:' "$root/etc/group" | cut -d: -f3)
[ "$uid" -lt 1000 ] && [ -n "$gid" ] || fail "brenvikd is no system user: $user"
case "$user" in *:/var/lib/brenvikd:/usr/sbin/nologin) ;; *) fail "brenvikd's home and shell: $user" ;; esac
grep -Eq '^dialout:[^:]*:20:(.*,)?brenvikd(,|$)' "$root/etc/group" || fail "brenvikd is not in dialout"
ok "system user brenvikd ($uid:$gid), in dialout"

libdir=$(dirname "$(find "$root/usr/lib" -name libbrenvik.so.2)")
lib=${libdir#"$root"/}
expect_file() {  # MODE UID:GID PATH
    [ -e "$root/$3" ] || fail "$3 not installed"
    [ ! -L "$root/$3" ] || fail "$3 is a link"
    got=$(stat -c '%a %u:%g' "$root/$3")
    [ "$got" = "$1 $2" ] || fail "$3: $got, not $1 $2"
}
expect_link() {  # PATH TARGET
    [ "$(readlink "$root/$1")" = "$2" ] || fail "$1 does not point at $2"
}
while read -r mode owner path; do
    expect_file "$mode" "$owner" "$path"
done <<EOF
755 0:0 usr/bin/brenvik
755 0:0 usr/bin/m301sim
755 0:0 usr/sbin/brenvikd
644 0:0 $lib/libbrenvik.so.2.0.0
644 0:0 $lib/libbrenvik.a
644 0:0 $lib/pkgconfig/brenvik.pc
644 0:0 $lib/cmake/brenvik/brenvikConfig.cmake
644 0:0 usr/include/brenvik/brenvik.h
644 0:0 usr/include/brenvik/brenvik_version.h
644 0:0 usr/share/brenvik/receipt.schema.json
644 0:0 lib/systemd/system/brenvikd.service
644 0:0 etc/brenvikd/brenvikd.json
640 0:$gid etc/brenvikd/token
750 $uid:$gid var/lib/brenvikd
750 $uid:$gid var/log/brenvik
644 0:0 usr/share/brenvik/udev/70-brenvik-printer.rules
EOF
expect_link "$lib/libbrenvik.so.2" libbrenvik.so.2.0.0
expect_link "$lib/libbrenvik.so" libbrenvik.so.2
expect_link etc/systemd/system/multi-user.target.wants/brenvikd.service /lib/systemd/system/brenvikd.service
grep -qx /etc/brenvikd/brenvikd.json "$root/var/lib/dpkg/info/brenvikd.conffiles" || fail "brenvikd.json is no conffile"
grep -Eqx '[0-9a-f]{64}' "$root/etc/brenvikd/token" || fail "the token is not 32 random bytes in hex"
for elf in usr/bin/brenvik usr/bin/m301sim usr/sbin/brenvikd "$lib/libbrenvik.so.2.0.0"; do
    ! readelf -d "$root/$elf" | grep -Eq 'RPATH|RUNPATH' || fail "$elf has a run path"
done
ok "files, modes, links, conffile, token, unit enabled, no run path"

# --- The unit ------------------------------------------------------------------
unit=$root/lib/systemd/system/brenvikd.service
start=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$unit")
[ -x "$root$start" ] || fail "ExecStart $start is not installed"
# verify looks for ExecStart on this machine: the copy names the root's.
mkdir "$work/unit"
sed "s#^ExecStart=$start #ExecStart=$root$start #" "$unit" >"$work/unit/brenvikd.service"
out=$(systemd-analyze verify --man=no "$work/unit/brenvikd.service" 2>&1) || fail "systemd-analyze verify: $out"
[ -z "$out" ] || fail "systemd-analyze verify: $out"
security=$(systemd-analyze security --offline=true --root="$root" --threshold=30 brenvikd.service 2>&1) \
    || fail "systemd-analyze security above 3.0: $(echo "$security" | grep -E '✗|Overall')"
ok "unit verified; $(echo "$security" | grep -o 'Overall exposure level.*')"

# --- The installed programs ------------------------------------------------------
export LD_LIBRARY_PATH="$libdir"
cd "$work"
"$root/usr/bin/m301sim" --link "$work/com1" --journal "$work/paper.txt" >/dev/null 2>&1 &
pids="$pids $!"
i=0
while [ ! -e "$work/com1" ] && [ $i -lt 100 ]; do sleep 0.05; i=$((i + 1)); done
out=$("$root/usr/bin/brenvik" --device "$work/com1" --log-dir "$work" status 2>&1) || fail "brenvik status: $out"
echo "$out" | grep -q 'serial number *4000012345' || fail "brenvik status: $out"
echo '{"type": "sale", "items": [{"name": "Сир", "quantity": 1, "price": 4250, "tax": 1}]}' >"$work/sale.json"
out=$("$root/usr/bin/brenvik" --device "$work/com1" --log-dir "$work" receipt "$work/sale.json" 2>&1) \
    || fail "brenvik receipt: $out"
grep -q 'Сир' "$work/paper.txt" && grep -q '42.50' "$work/paper.txt" || fail "the receipt is not on paper"
ok "installed brenvik: status and a receipt against m301sim"

export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046
cc -Wall -Werror -o "$work/sale" "$src/examples/c/sale.c" $(pkg-config --cflags --libs brenvik) \
    || fail "the C sample does not build against libbrenvik-dev"
out=$("$work/sale" "$work/com1" 2>&1) || fail "the C sample: $out"
echo "$out" | grep -q 'check 2 closed' || fail "the C sample: $out"
ok "the C sample, built with pkg-config against libbrenvik-dev, prints"

# As shipped, the configuration names no printer: brenvikd refuses it (2,
# which the unit does not restart), and the unit's condition skips it.
config=$root/etc/brenvikd/brenvikd.json
condition() {  # the unit's ExecCondition on configuration $1
    eval "$(sed -n 's/^ExecCondition=//p' "$unit" | sed "s#/etc/brenvikd/brenvikd.json#$1#")"
}
status=0
out=$("$root/usr/sbin/brenvikd" --config "$config" 2>&1) || status=$?
[ $status -eq 2 ] && echo "$out" | grep -q 'no printer' || fail "brenvikd without a printer: $status $out"
! condition "$config" || fail "the unit's condition starts it without a printer"
# With a printer it starts, and answers with the token the package made.
printf '{"listen": "127.0.0.1:0", "printers": [\n  {"id": "main", "device": "%s"}\n], "tokenFile": "%s"}\n' \
    "$work/com1" "$root/etc/brenvikd/token" >"$work/brenvikd.json"
condition "$work/brenvikd.json" || fail "the unit's condition does not start it with a printer"
"$root/usr/sbin/brenvikd" --config "$work/brenvikd.json" --ledger "$work/ledger.db" --log-dir "$work" \
    2>"$work/brenvikd.err" &
pids="$pids $!"
port=
i=0
while [ -z "$port" ] && [ $i -lt 100 ]; do
    sleep 0.1; i=$((i + 1))
    port=$(sed -n 's#.*listening on http://127\.0\.0\.1:\([0-9]*\)/.*#\1#p' "$work/brenvikd.err")
done
[ -n "$port" ] || fail "brenvikd did not listen: $(cat "$work/brenvikd.err")"
url=http://127.0.0.1:$port/printers/main/status
[ "$(curl -s -o /dev/null -w '%{http_code}' "$url")" = 401 ] || fail "brenvikd answered without the token"
out=$(curl -s -H "Authorization: Bearer $(cat "$root/etc/brenvikd/token")" "$url")
echo "$out" | grep -q '"serialNumber":"4000012345"' || fail "brenvikd status: $out"
ok "installed brenvikd: no printer, no start; with one, it serves with the package's token"

# --- Reinstall, remove, purge --------------------------------------------------
token=$(cat "$root/etc/brenvikd/token")
sed -i 's#"printers": \[\]#"printers": [{"id": "main", "device": "/dev/ttyUSB0"}]#' "$config"
in_root -i "$work/debs/brenvikd_"*.deb
[ "$(cat "$root/etc/brenvikd/token")" = "$token" ] || fail "a reinstall made a new token"
[ "$(grep -c '^brenvikd:' "$root/etc/passwd")" = 1 ] || fail "a reinstall made another user"
grep -q ttyUSB0 "$config" || fail "a reinstall lost the configuration's printer"
ok "reinstall: token, user and configuration kept"

touch "$root/var/lib/brenvikd/ledger.db"
in_root --remove brenvikd
[ ! -e "$root/usr/sbin/brenvikd" ] && [ ! -e "$unit" ] || fail "removal left the program or the unit"
for f in etc/brenvikd/brenvikd.json etc/brenvikd/token var/lib/brenvikd/ledger.db var/log/brenvik; do
    [ -e "$root/$f" ] || fail "removal deleted $f"
done
ok "remove: configuration, token, ledger and log directory kept"

in_root --purge brenvikd
for f in etc/brenvikd var/lib/brenvikd var/log/brenvik etc/systemd/system/multi-user.target.wants/brenvikd.service \
         etc/systemd/system/brenvikd.service; do
    [ ! -e "$root/$f" ] && [ ! -L "$root/$f" ] || fail "purge left $f"
done
grep -q '^brenvikd:' "$root/etc/passwd" || fail "purge deleted the system user"
host_untouched "removing and purging"
ok "purge: configuration, token, ledger, logs and the unit's links gone; the user stays"
echo "package test passed"
