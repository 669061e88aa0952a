#!/bin/sh
# Installs the build into a temporary prefix, builds the C sample there with
# pkg-config and as a CMake consumer (shared and static), runs them, the
# installed brenvik tool and the Python sample against the installed
# m301sim, and checks that the library exports only brenvik_*, and that the
# installed programs find the library by their run path alone.
#   install_test.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1
src=$2
work=$(mktemp -d /tmp/brenvik-install.XXXXXX)
sim_pid=
cleanup() {
    if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libbrenvik.so.2' | head -n 1)")
[ -n "$libdir" ] || fail "libbrenvik.so.2 not installed"
for f in "$prefix/include/brenvik/brenvik.h" "$prefix/include/brenvik/brenvik_version.h" \
         "$libdir/libbrenvik.a" "$libdir/pkgconfig/brenvik.pc" "$libdir/cmake/brenvik/brenvikConfig.cmake" \
         "$prefix/bin/brenvik" "$prefix/bin/m301sim" "$prefix/sbin/brenvikd" \
         "$prefix/share/brenvik/receipt.schema.json" "$prefix/share/brenvik/service/brenvikd.json"; do
    [ -e "$f" ] || fail "$f not installed"
done

# Only the C API leaves the library.
# (The version node itself shows as an absolute symbol.)
others=$(nm -D --defined-only "$libdir/libbrenvik.so.2" | awk '$2 != "A" {print $3}' | grep -v '^brenvik_' || true)
[ -z "$others" ] || fail "exported besides brenvik_*: $others"
# Every function carries the ABI's version node, so that later additions
# can be told apart by the dynamic linker.
unversioned=$(objdump -T "$libdir/libbrenvik.so.2" | awk '/ brenvik_/ && !/BRENVIK_2\.0/' || true)
[ -z "$unversioned" ] || fail "without the version node BRENVIK_2.0: $unversioned"
objdump -p "$libdir/libbrenvik.so.2" | grep -q 'SONAME *libbrenvik.so.2' || fail "no SONAME libbrenvik.so.2"

# The programs find libbrenvik.so.2 without ldconfig or LD_LIBRARY_PATH,
# and the unit installed beside them starts the brenvikd of this prefix.
unset LD_LIBRARY_PATH
"$prefix/sbin/brenvikd" --version >/dev/null 2>&1 || fail "the installed brenvikd does not run: $("$prefix/sbin/brenvikd" --version 2>&1)"
grep -qx "ExecStart=$prefix/sbin/brenvikd .*" "$prefix/share/brenvik/service/brenvikd.service" \
    || fail "the installed unit does not start $prefix/sbin/brenvikd"

# pkg-config, then a CMake consumer.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
cc -Wall -Werror -o "$work/sale_pc" "$src/examples/c/sale.c" $(pkg-config --cflags --libs brenvik) \
    -Wl,-rpath,"$libdir" || fail "pkg-config build"
cmake -S "$src/examples/c" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_BUILD_RPATH="$libdir" >/dev/null || fail "find_package(brenvik)"
cmake --build "$work/consumer" >/dev/null || fail "CMake consumer build"

"$prefix/bin/m301sim" --link "$work/com3" --journal "$work/paper.txt" >/dev/null 2>&1 &
sim_pid=$!
i=0
while [ ! -e "$work/com3" ] && [ $i -lt 100 ]; do sleep 0.05; i=$((i + 1)); done

expect() {  # expect NAME PATTERN COMMAND...
    name=$1; pattern=$2; shift 2
    out=$("$@" 2>&1) || fail "$name: $out"
    echo "$out" | grep -q "$pattern" || fail "$name: no '$pattern' in: $out"
    echo "$name: ok"
}
cd "$work"
expect pkg-config-sale "check 1 closed: total 177.00, change 23.00" "$work/sale_pc" "$work/com3"
expect cmake-sale "check 2 closed" "$work/consumer/sale" "$work/com3"
expect cmake-static-sale "check 3 closed" "$work/consumer/sale_static" "$work/com3"
expect installed-cli "serial number *4000012345" "$prefix/bin/brenvik" --device "$work/com3" --log-dir "$work" status
expect python-sample "check 4 closed: total 157.80" env BRENVIK_LIB="$libdir/libbrenvik.so.2" \
    python3 "$src/examples/python/sale.py" "$work/com3"
grep -q "яблучний" "$work/paper.txt" || fail "the Python sale is not on paper"
echo "install test passed"
