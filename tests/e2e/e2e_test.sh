#!/bin/sh
# End-to-end tests with the real cvs: real client commands reach real repositories through
# pathvane, locally, in server mode and as a password server, and each repository is served by
# the program that its table line names.
#
#   e2e_test.sh PATHVANE HOST SCENARIO [LOOK]
#
# PATHVANE must have been built with its table and fallback inside HOST (see scripts/host.sh).
# LOOK tells which client streams it lets its programs read in place: "pipes" (pipes and
# sockets; the default), "sockets", or "none" (it relays every stream).
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/host.sh"

if ! [ -x "$REAL_CVS" ]; then
    echo "skipped: cvs not installed"
    exit 77
fi
scenario=$3
LOOK=${4:-pipes}
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

# expect_streams KIND: every session so far reached its program as this build passes on a
# client's stream of KIND (pipe or socket): in place, or through pathvane's pipe.
expect_streams() {
    [ -d /proc/self/fd ] || return 0 # the programs cannot tell without /proc
    case $1:$LOOK in
    pipe:pipes | socket:pipes | socket:sockets) want=in-place ;;
    *) want=relayed ;;
    esac
    if ! [ -s "$HOST/streams.log" ]; then
        fail "no session noted how it read the client's stream"
    elif grep -qvx "$want" "$HOST/streams.log"; then
        fail "sessions over a $1, expected all $want: $(sort "$HOST/streams.log" | uniq -c | tr '\n' ' ')"
    else
        pass
    fi
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

# The password server's account. Debian's cvs checks CVSROOT/passwd itself (it has no PAM),
# then runs as the system user that the account names, which must not be root.
PSERVER_USER=anna
PSERVER_PASSWORD=secret

# pserver_accounts: the account in every repository, for a system user that can write them.
# As root, that is nobody, and the repositories move to a directory of their own under /tmp:
# nobody may not be able to search the build directory's parents (a home under /root, say).
pserver_accounts() {
    if [ "$(id -u)" -eq 0 ]; then
        system_user=nobody
        PSERVER_REPOS=$(mktemp -d /tmp/pathvane-pserver.XXXXXX)
        chmod 755 "$PSERVER_REPOS"
        host_repos "$PSERVER_REPOS" >/dev/null
        host_table
        A=$REPOS/alpha
        B=$REPOS/beta
        G=$REPOS/gamma
        chown -R nobody "$REPOS"
        if ! setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups \
            test -w "$A/CVSROOT"; then
            echo "skipped: nobody cannot reach $REPOS"
            exit 77
        fi
    else
        system_user=$(id -un)
    fi
    crypted=$(perl -e 'print crypt($ARGV[0], q($6$pathvane$))' "$PSERVER_PASSWORD")
    for repo in "$A" "$B" "$G"; do
        echo "$PSERVER_USER:$crypted:$system_user" >"$repo/CVSROOT/passwd"
    done
}

# regexp_quote TEXT: TEXT as an extended regular expression that matches it alone.
regexp_quote() {
    printf '%s' "$1" | sed -e 's/[.[$*+?(){}|\\]/[&]/g' -e 's/\^/\\^/g'
}

LISTENER=
listeners=0
# listen ARG...: runs "cvs ARG..." (pathvane) for each connection to 127.0.0.1:$PORT, the
# connection as standard input, output and error, as inetd does. Tries ports until one is free.
# timeout ends the listener even if this script is killed outright.
listen() {
    # systemd-socket-activate keeps standard error its own: the client must read what pathvane
    # and cvs write there, as the client of inetd does.
    cat >"$HOST/bin/inetd-child" <<CHILD
#!/bin/sh
exec 2>&1
exec "$HOST/bin/cvs" "\$@"
CHILD
    chmod +x "$HOST/bin/inetd-child"
    for try in 1 2 3 4 5 6 7 8 9 10; do
        PORT=$((10000 + ($$ + try * 4099) % 22000))
        listeners=$((listeners + 1))
        LISTENER_LOG=$HOST/listener-$listeners.log
        (cd "$HOST" && SYSTEMD_LOG_LEVEL=info SYSTEMD_LOG_TARGET=console exec timeout 300 \
            systemd-socket-activate -l "127.0.0.1:$PORT" --inetd -a "$HOST/bin/inetd-child" "$@") \
            </dev/null >/dev/null 2>"$LISTENER_LOG" &
        LISTENER=$!
        waited=0
        while kill -0 "$LISTENER" 2>/dev/null && [ $waited -lt 50 ]; do
            grep -q "^Listening on 127.0.0.1:$PORT " "$LISTENER_LOG" && return 0
            sleep 0.1
            waited=$((waited + 1))
        done
        stop_listener
    done
    echo "no listener started; the last one said:"
    cat "$LISTENER_LOG"
    exit 1
}

stop_listener() {
    if [ -n "$LISTENER" ]; then
        kill "$LISTENER" 2>/dev/null
        wait "$LISTENER" 2>/dev/null
        LISTENER=
    fi
}

PSERVER_REPOS=
# pserver_cleanup: the listener, and the repositories made under /tmp.
pserver_cleanup() {
    stop_listener
    if [ -n "$PSERVER_REPOS" ]; then rm -rf "$PSERVER_REPOS"; fi
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
    expect_streams pipe
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
    # A remote init sends no Root request and waits for the answer: the fallback serves it at
    # once, not when the 10 seconds for a Root request are out.
    host_run "$W" timeout 8 "$REAL_CVS" -d ":ext:cvs.example.org:$HOST/repos/delta" init
    expect "remote init, which sends no Root request" "ncvs server"
    check "the new repository" test -d "$HOST/repos/delta/CVSROOT"
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
pserver)
    # A remote client's own cvs speaks the password-server protocol to pathvane, started for
    # each connection as "cvs -f --allow-root=... pserver".
    if ! command -v systemd-socket-activate >/dev/null; then
        echo "skipped: systemd-socket-activate not installed"
        exit 77
    fi
    trap pserver_cleanup EXIT
    pserver_accounts
    trap 'exit 1' HUP INT TERM
    # One option for the three: with an --allow-root for each, cvs would warn on standard error,
    # which is the connection, of the LogHistory line that every repository's config holds.
    listen -f "--allow-root-regexp=^$(regexp_quote "$REPOS")/(alpha|beta|gamma)\$" pserver
    CLIENT="timeout 30 $REAL_CVS"
    at="$PSERVER_USER@127.0.0.1:$PORT"

    # cvs login sends a verification request and saves the password for the commands after it.
    host_run "$W" $CLIENT -d ":pserver:$PSERVER_USER:$PSERVER_PASSWORD@127.0.0.1:$PORT$A" login
    expect "login to alpha" "cvs-alpha pserver"
    check "login saves the password" grep -q "^/1 :pserver:$at$A " "$CVS_PASSFILE"
    cycle ":pserver:$at$A" alpha-pserver "cvs-alpha pserver"
    host_run "$W" $CLIENT -d ":pserver:$PSERVER_USER:$PSERVER_PASSWORD@127.0.0.1:$PORT$B" login
    expect "login to beta" "cvs-beta pserver"
    cycle ":pserver:$at$B" beta-pserver "cvs-beta pserver"

    host_run "$W" $CLIENT -d ":pserver:$PSERVER_USER:$PSERVER_PASSWORD@127.0.0.1:$PORT$G" login
    expect "login to a repository no line names" "cvs-default pserver"
    make_import
    host_run "$W/import" $CLIENT -d ":pserver:$at$G" import -m "initial import" gamma-pserver \
        vendor start
    expect "import to a repository no line names" "cvs-default pserver"
    host_run "$W" $CLIENT -d ":pserver:$at$G" checkout -d gamma-1 gamma-pserver
    expect "checkout from a repository no line names" "cvs-default pserver"
    check "files from a repository no line names" cmp "$W/import/hello.txt" "$W/gamma-1/hello.txt"
    host_table no-default
    host_run "$W" $CLIENT -d ":pserver:$at$G" checkout -d gamma-2 gamma-pserver
    expect "checkout without a default entry" "ncvs pserver"
    check "files without a default entry" cmp "$W/import/hello.txt" "$W/gamma-2/hello.txt"

    # The program that the root's line names turns the password down itself.
    host_run "$W" $CLIENT -d ":pserver:$PSERVER_USER:wrong@127.0.0.1:$PORT$A" \
        checkout -d alpha-refused alpha-pserver
    if [ "$STATUS" -ne 1 ]; then
        fail "checkout with a wrong password: exit status $STATUS"
    elif [ "$SERVED" != "cvs-alpha pserver" ]; then
        fail "checkout with a wrong password: served by '$(echo $SERVED)'," \
            "expected 'cvs-alpha pserver'"
    else
        pass
    fi
    refusal="authorization failed: server 127.0.0.1 rejected access to $A for user $PSERVER_USER"
    check "the client tells of the refusal" grep -Fqx "cvs checkout: $refusal" "$HOST/out"
    check "nothing checked out with a wrong password" test ! -e "$W/alpha-refused"

    # A GSSAPI request names no root. The client gives up without waiting for an answer, so
    # the server may note itself a moment after the client's end.
    logged=$(wc -l <"$HOST/served.log")
    host_run "$W" $CLIENT -d ":gserver:127.0.0.1:$PORT$A" checkout -d alpha-gssapi alpha-pserver
    waited=0
    while [ "$(wc -l <"$HOST/served.log")" -eq "$logged" ] && [ $waited -lt 50 ]; do
        sleep 0.1
        waited=$((waited + 1))
    done
    SERVED=$(tail -n +"$((logged + 1))" "$HOST/served.log")
    # No Kerberos here: the client fails whoever serves it, but must not hang.
    if [ "$STATUS" -eq 124 ]; then
        fail "a GSSAPI request hung"
    elif [ "$SERVED" != "ncvs pserver" ]; then
        fail "a GSSAPI request: served by '$(echo $SERVED)', expected 'ncvs pserver'"
    else
        pass
    fi

    # cvs pserver takes its root from the client, whatever -d says; so must pathvane.
    stop_listener
    listen -f -d "$B" "--allow-root=$A" pserver
    host_run "$W" $CLIENT -d ":pserver:$PSERVER_USER:$PSERVER_PASSWORD@127.0.0.1:$PORT$A" \
        checkout -d alpha-pserver-3 alpha-pserver
    expect "checkout from a listener started with -d" "cvs-alpha pserver"
    check "files from a listener started with -d" \
        cmp "$W/alpha-pserver-2/hello.txt" "$W/alpha-pserver-3/hello.txt"
    expect_streams socket
    if [ "$failed" -ne 0 ]; then
        echo "The listeners' logs:"
        cat "$HOST"/listener-*.log | sed 's/^/    | /'
    fi
    ;;
*)
    echo "unknown scenario $scenario" >&2
    exit 2
    ;;
esac

echo "$scenario: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
