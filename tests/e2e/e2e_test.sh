#!/bin/sh
# End-to-end tests with the real cvs: real client commands reach real repositories through
# pathvane, locally and in server mode, and each repository is served by the program that its
# table line names.
#
#   e2e_test.sh PATHVANE HOST SCENARIO
#
# PATHVANE must have been built with its table and fallback inside HOST (see scripts/host.sh).
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/host.sh"

if ! [ -x "$REAL_CVS" ]; then
    echo "skipped: cvs not installed"
    exit 77
fi
scenario=$3
host_create "$2" "$1" >/dev/null
W=$HOST/work
A=$HOST/repos/alpha
B=$HOST/repos/beta
G=$HOST/repos/gamma
CLIENT=cvs # the user's cvs command: pathvane, first in PATH
passed=0
failed=0

pass() { passed=$((passed + 1)); }
fail() {
    failed=$((failed + 1))
    echo "FAIL: $*"
    sed 's/^/    | /' "$HOST/out"
}

# expect WHAT SERVED...: the last host_run succeeded and was served by exactly these programs.
expect() {
    what=$1
    shift
    if [ "$STATUS" -ne 0 ]; then
        fail "$what: exit status $STATUS"
    elif [ "$SERVED" != "$(printf '%s\n' "$@")" ]; then
        fail "$what: served by '$(echo $SERVED)', expected '$*'"
    else
        pass
    fi
}

# check WHAT COMMAND...: the command succeeds.
check() {
    what=$1
    shift
    if "$@" >/dev/null 2>&1; then pass; else fail "$what"; fi
}

# An import tree, and a binary file that holds every byte value, NUL included.
make_import() {
    rm -rf "$W/import"
    mkdir -p "$W/import/doc"
    printf 'first line\n' >"$W/import/hello.txt"
    printf 'design notes\n' >"$W/import/doc/notes.txt"
    awk 'BEGIN { for (r = 0; r < 64; r++) for (i = 0; i < 256; i++) printf "%c", i }' \
        >"$W/blob.bin"
}

# cycle ROOT MODULE SERVED...: the everyday client commands against ROOT, each expected to be
# served by exactly SERVED...
cycle() {
    root=$1
    tag=$2
    shift 2
    make_import
    host_run "$W/import" $CLIENT -d "$root" import -m "initial import" "$tag" vendor start
    expect "$tag: import" "$@"
    host_run "$W" $CLIENT -d "$root" checkout -d "$tag-1" "$tag"
    expect "$tag: checkout" "$@"
    check "$tag: files round-trip" cmp "$W/import/hello.txt" "$W/$tag-1/hello.txt"
    check "$tag: subdirectory round-trips" cmp "$W/import/doc/notes.txt" "$W/$tag-1/doc/notes.txt"

    # From here on the working copy's CVS/Root names the root; CVSROOT points elsewhere.
    echo "second line" >>"$W/$tag-1/hello.txt"
    cp "$W/blob.bin" "$W/$tag-1/blob.bin"
    host_run "$W/$tag-1" env CVSROOT="$G" $CLIENT add -kb blob.bin
    expect "$tag: add" "$@"
    host_run "$W/$tag-1" env CVSROOT="$G" $CLIENT commit -m "second line and a blob"
    expect "$tag: commit" "$@"

    host_run "$W" env CVSROOT="$root" $CLIENT checkout -d "$tag-2" "$tag"
    expect "$tag: checkout through CVSROOT" "$@"
    check "$tag: commit reaches a new checkout" cmp "$W/$tag-1/hello.txt" "$W/$tag-2/hello.txt"
    check "$tag: binary file round-trips" cmp "$W/blob.bin" "$W/$tag-2/blob.bin"

    echo "third line" >>"$W/$tag-2/hello.txt"
    host_run "$W/$tag-2" $CLIENT commit -m "third line"
    expect "$tag: second commit" "$@"
    host_run "$W/$tag-1" $CLIENT update
    expect "$tag: update" "$@"
    check "$tag: update brings the commit" cmp "$W/$tag-1/hello.txt" "$W/$tag-2/hello.txt"

    host_run "$W/$tag-1" $CLIENT log hello.txt
    expect "$tag: log" "$@"
    check "$tag: log has revision 1.3" grep -qx "revision 1.3" "$HOST/out"
    check "$tag: log has the commit message" grep -qx "second line and a blob" "$HOST/out"
    check "$tag: log has the import" grep -qx "initial import" "$HOST/out"

    echo "not yet committed" >>"$W/$tag-1/hello.txt"
    host_run "$W/$tag-1" $CLIENT diff -u hello.txt
    [ "$STATUS" -eq 1 ] && STATUS=0 # diff's status 1 means: there are differences
    expect "$tag: diff" "$@"
    check "$tag: diff shows the change" grep -qx "+not yet committed" "$HOST/out"
}

case $scenario in
local)
    cycle "$A" alpha-local cvs-alpha
    cycle "$B" beta-local cvs-beta
    ;;
root_forms)
    # Spellings of one root that must all select the same table line.
    make_import
    host_run "$W/import" "$REAL_CVS" -d "$A" import -m "initial import" forms vendor start
    n=0
    for root in "$A" ":local:$A" "$HOST//repos//alpha/" "$HOST/repos/alpha//"; do
        n=$((n + 1))
        host_run "$W" cvs -d "$root" checkout -d "forms-$n" forms
        expect "checkout with root '$root'" cvs-alpha
        check "files of root '$root'" cmp "$W/import/hello.txt" "$W/forms-$n/hello.txt"
    done
    host_run "$W" cvs -d ":ext:cvs.example.org:$A" checkout -d forms-ext forms
    expect "checkout with an :ext: root, both ends through pathvane" cvs-alpha "cvs-alpha server"
    check "files through :ext:" cmp "$W/import/hello.txt" "$W/forms-ext/hello.txt"
    ;;
server)
    # A remote client runs its own cvs; the host runs pathvane as "cvs server" through ssh.
    CLIENT=$REAL_CVS
    cycle ":ext:cvs.example.org:$A" alpha-server "cvs-alpha server"
    cycle ":ext:cvs.example.org:$B" beta-server "cvs-beta server"
    ;;
default_and_fallback)
    cycle "$G" gamma-default cvs-default
    host_run "$W" "$REAL_CVS" -d ":ext:cvs.example.org:$G" checkout -d gamma-3 gamma-default
    expect "remote checkout of a repository no line names" "cvs-default server"
    host_table no-default
    host_run "$W/gamma-default-1" cvs update
    expect "update without a default entry" ncvs
    host_run "$W" "$REAL_CVS" -d ":ext:cvs.example.org:$G" checkout -d gamma-4 gamma-default
    expect "remote checkout without a default entry" "ncvs server"
    host_run "$W" cvs --version
    expect "a command with no root at all" ncvs
    ;;
failing_server)
    host_table route beta "$HOST/bin/missing-cvs"
    make_import
    host_run "$W/import" cvs -d "$B" import -m "initial import" failing vendor start
    if [ "$STATUS" -eq 1 ] && grep -qx "cvs: exec: No such file or directory" "$HOST/out"; then
        pass
    else
        fail "local command for a missing program: status $STATUS"
    fi
    host_run "$W" timeout 60 "$REAL_CVS" -d ":ext:cvs.example.org:$B" checkout failing
    if [ "$STATUS" -eq 124 ]; then
        fail "remote command for a missing program hung"
    elif [ "$STATUS" -ne 0 ] && grep -q "cvs: child: exec: No such file or directory" "$HOST/out"; then
        pass
    else
        fail "remote command for a missing program: status $STATUS"
    fi
    ;;
*)
    echo "unknown scenario $scenario" >&2
    exit 2
    ;;
esac

echo "$scenario: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
