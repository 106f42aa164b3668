#!/bin/sh
# Installs into a throwaway prefix and checks the layout, and that the default table follows
# the prefix: exactly /usr/local/etc/pathvane.conf with the default prefix.
#   install_test.sh SOURCE_DIR
set -eu
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }

prefix=$work/prefix
cmake -S "$source_dir" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DPATHVANE_BUILD_TESTS=OFF -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
cmake --build "$work/build" >/dev/null
cmake --install "$work/build" >/dev/null

for f in bin/pathvane sbin/pathvane-check; do
    [ -x "$prefix/$f" ] || fail "$f is not installed as an executable"
done
for f in share/man/man5/pathvane.conf.5 share/man/man8/pathvane.8 \
    share/man/man8/pathvane-check.8 etc/pathvane.conf.sample; do
    [ -f "$prefix/$f" ] || fail "$f is not installed"
done
[ -e "$prefix/etc/pathvane.conf" ] && fail "the install must not lay down a live table"

# The programs read <prefix>/etc/pathvane.conf.
out=$("$prefix/sbin/pathvane-check" 2>&1) && fail "pathvane-check passed without a table"
[ "$out" = "pathvane-check: $prefix/etc/pathvane.conf: No such file or directory" ] ||
    fail "pathvane-check read another table: $out"
grep -q "$prefix/etc/pathvane.conf" "$prefix/share/man/man8/pathvane.8" ||
    fail "pathvane(8) does not name the installed table"
cp "$prefix/etc/pathvane.conf.sample" "$prefix/etc/pathvane.conf"
out=$("$prefix/sbin/pathvane-check" 2>&1) || true
case $out in
"" | *": not owned by root") ;;
*) fail "the sample table does not check cleanly: $out" ;;
esac

# With the default prefix and with PATHVANE_TABLE set (configure only: the pages show it).
cmake -S "$source_dir" -B "$work/default" -G Ninja -DPATHVANE_BUILD_TESTS=OFF >/dev/null
grep -qx '.It Pa /usr/local/etc/pathvane.conf' "$work/default/man/pathvane.8" ||
    fail "the default table is not /usr/local/etc/pathvane.conf"
cmake -S "$source_dir" -B "$work/set" -G Ninja -DPATHVANE_BUILD_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/opt/x -DPATHVANE_TABLE=/etc/pv.conf >/dev/null
grep -qx '.It Pa /etc/pv.conf' "$work/set/man/pathvane.8" || fail "PATHVANE_TABLE is not followed"

echo "install: $((failed == 0)) passed, $failed failed"
[ "$failed" -eq 0 ]
