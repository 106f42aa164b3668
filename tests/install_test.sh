#!/bin/sh
# Installs and packages as an administrator does, and checks what lands where.
#   install_test.sh SOURCE_DIR VERSION layout
#       installs into a throwaway prefix: the layout, and that the table follows the prefix
#       (/usr/local/etc/pathvane.conf by default, /etc/pathvane.conf with prefix /usr)
# The builds use $CXX when it is set.
set -eu
source_dir=$1
version=$2
scenario=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
# check WHAT ACTUAL EXPECTED
check() {
    if [ "$2" = "$3" ]; then
        passed=$((passed + 1))
    else
        fail "$1"
        printf '%s\n' "--- got" "$2" "--- expected" "$3" | sed 's/^/    | /'
    fi
}
summary() {
    echo "$scenario: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
# The paths that a manual page on standard input names in its FILES section.
files_section() { sed -n '/^\.Sh FILES/,/^\.Sh [^F]/s/^\.It Pa //p'; }
# configure DIR ARGS...: a Release build without the tests, as an administrator configures one.
configure() {
    dir=$1
    shift
    cmake -S "$source_dir" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DPATHVANE_BUILD_TESTS=OFF "$@" >/dev/null
}
layout() {
    prefix=$work/prefix
    configure "$work/build" -DCMAKE_INSTALL_PREFIX="$prefix"
    cmake --build "$work/build" >/dev/null
    cmake --install "$work/build" --strip >/dev/null

    check "installed files" "$(cd "$prefix" && find . ! -type d | sort)" "./bin/pathvane
./sbin/pathvane-check
./share/doc/pathvane/examples/pathvane.conf.sample
./share/man/man5/pathvane.conf.5
./share/man/man8/pathvane-check.8
./share/man/man8/pathvane.8"
    for f in bin/pathvane sbin/pathvane-check; do
        check "$f is stripped" "$(nm "$prefix/$f" 2>&1 | sed 's/.*: //')" "no symbols"
    done

    # The programs, the pages and the sample name <prefix>/etc/pathvane.conf.
    out=$("$prefix/sbin/pathvane-check" 2>&1) && fail "pathvane-check passed without a table"
    check "the table pathvane-check reads" "$out" \
        "pathvane-check: $prefix/etc/pathvane.conf: No such file or directory"
    check "pathvane(8) names the table" \
        "$(grep -c -x ".It Pa $prefix/etc/pathvane.conf" "$prefix/share/man/man8/pathvane.8")" 1
    check "pathvane.conf(5) names the sample" "$(grep -c -x \
        ".It Pa $prefix/share/doc/pathvane/examples/pathvane.conf.sample" \
        "$prefix/share/man/man5/pathvane.conf.5")" 1
    sample=$prefix/share/doc/pathvane/examples/pathvane.conf.sample
    check "the sample names the table" "$(head -n 1 "$sample")" "# $prefix/etc/pathvane.conf:\
 which CVS program serves which repository. See pathvane.conf(5)."
    mkdir "$prefix/etc"
    cp "$sample" "$prefix/etc/pathvane.conf"
    out=$("$prefix/sbin/pathvane-check" 2>&1) || true
    case $out in
    "" | *": not owned by root") passed=$((passed + 1)) ;;
    *) fail "the sample table does not check cleanly: $out" ;;
    esac
    check "version" "$("$prefix/sbin/pathvane-check" --version)" "pathvane-check $version"

    # Configure only: the pages and the sample show the paths of other configurations.
    while read -r args table fallback; do
        configure "$work/other" $args
        check "table with $args" "$(files_section <"$work/other/man/pathvane.8")" "$table
$fallback
CVS/Root"
        check "sample with $args" "$(grep -o -e '^# /[^:]*' -e '/usr/bin/[a-z]*' \
            "$work/other/etc/pathvane.conf.sample")" "# $table
$fallback"
        rm -rf "$work/other"
    done <<EOF
-DCMAKE_INSTALL_PREFIX=/usr/local /usr/local/etc/pathvane.conf /usr/bin/ncvs
-DCMAKE_INSTALL_PREFIX=/usr /etc/pathvane.conf /usr/bin/ncvs
-DPATHVANE_FALLBACK=/usr/bin/cvs /usr/local/etc/pathvane.conf /usr/bin/cvs
-DPATHVANE_TABLE=/etc/pv.conf /etc/pv.conf /usr/bin/ncvs
EOF
}

case $scenario in
layout) layout ;;
*) echo "install_test.sh: no scenario $scenario" >&2; exit 2 ;;
esac
summary
