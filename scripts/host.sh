# A throwaway CVS host served through pathvane, for the demo and the end-to-end tests.
# Sourced, not run. The pathvane binary given to host_create must have been built with
#   -DPATHVANE_TABLE=$HOST/pathvane.conf -DPATHVANE_FALLBACK=$HOST/bin/ncvs
#
# Layout of $HOST:
#   repos/alpha, repos/beta, repos/gamma   three repositories (cvs init)
#   bin/cvs                                pathvane, installed in the place of cvs
#   bin/cvs-alpha, cvs-beta, cvs-default   stand-ins for three CVS builds, and bin/ncvs, the
#                                          fallback: each notes in served.log that it served
#                                          ("cvs-alpha", "cvs-alpha server" in server mode,
#                                          "cvs-alpha pserver" as a password server), then
#                                          runs the real cvs; in server and pserver mode it
#                                          also notes in streams.log how the client's stream
#                                          reached it: "in-place" (the client's own pipe or
#                                          connection) or "relayed" (pathvane's pipe)
#   bin/ssh                                runs the remote command on this host, as sshd would
#   pathvane.conf                          alpha -> cvs-alpha, beta -> cvs-beta, * -> cvs-default

REAL_CVS=${REAL_CVS:-/usr/bin/cvs}

# host_create HOST PATHVANE
host_create() {
    HOST=$1
    rm -rf "$HOST"
    mkdir -p "$HOST/bin" "$HOST/repos" "$HOST/home" "$HOST/work"
    ln -s "$2" "$HOST/bin/cvs"
    : >"$HOST/served.log"
    : >"$HOST/streams.log"
    for program in cvs-alpha cvs-beta cvs-default ncvs; do
        cat >"$HOST/bin/$program" <<WRAPPER
#!/bin/sh
for last do :; done # pserver comes after the global options, such as --allow-root
if [ "\$*" = server ]; then
    echo "$program server"
elif [ "\${last-}" = pserver ]; then
    echo "$program pserver"
else
    echo "$program"
fi >>"$HOST/served.log"
if [ "\$*" = server ] || [ "\${last-}" = pserver ]; then
    stream=\$(readlink /proc/\$\$/fd/0 2>/dev/null)
    case \$stream in
    "") ;;
    "\${CLIENT_STREAM-}" | socket:*) echo in-place ;;
    *) echo relayed ;;
    esac >>"$HOST/streams.log"
fi
exec "$REAL_CVS" "\$@"
WRAPPER
        chmod +x "$HOST/bin/$program"
    done
    cat >"$HOST/bin/ssh" <<'SSH'
#!/bin/sh
# ssh [-l user] [--] host command: runs the command here through the shell, as sshd does.
while [ $# -gt 0 ]; do
    case $1 in
    -l) shift 2 ;;
    --) shift; break ;;
    -*) shift ;;
    *) break ;;
    esac
done
shift
# The pipe that the client's stream comes through, for the programs to tell whether they read it.
CLIENT_STREAM=$(readlink /proc/$$/fd/0 2>/dev/null)
export CLIENT_STREAM
exec /bin/sh -c "$*"
SSH
    chmod +x "$HOST/bin/ssh"
    host_repos "$HOST/repos"
    host_table
    # Every cvs command from here on is the host's: pathvane first in PATH, remote roots
    # reached through the ssh stand-in, no ~/.cvsrc, no root or saved passwords from the
    # caller's environment.
    PATH="$HOST/bin:$PATH"
    CVS_RSH="$HOST/bin/ssh"
    CVS_SERVER="$HOST/bin/cvs"
    HOME="$HOST/home"
    CVS_PASSFILE="$HOST/home/.cvspass"
    export PATH CVS_RSH CVS_SERVER HOME CVS_PASSFILE
    unset CVSROOT CVSREAD CVS_CLIENT_LOG
}

# host_repos DIR: three new repositories in DIR, which the table names from here on.
host_repos() {
    REPOS=$1
    for repo in alpha beta gamma; do
        "$REAL_CVS" -d "$REPOS/$repo" init
    done
}

# host_table [no-default] [route REPO PROGRAM]: writes the program table.
host_table() {
    default=yes
    extra=
    while [ $# -gt 0 ]; do
        case $1 in
        no-default) default=no; shift ;;
        route) extra="$extra$REPOS/$2   prog=$3
"; shift 3 ;;
        *) echo "host_table: $1?" >&2; return 2 ;;
        esac
    done
    {
        echo "# repository                       program"
        printf '%s' "$extra"
        echo "$REPOS/alpha   prog=$HOST/bin/cvs-alpha"
        echo "$REPOS/beta    prog=$HOST/bin/cvs-beta    # moved to the new build"
        if [ $default = yes ]; then echo "*   prog=$HOST/bin/cvs-default"; fi
    } >"$HOST/pathvane.conf"
}

# host_run DIR COMMAND...: runs COMMAND in DIR; its output goes to $HOST/out, the programs
# that served it to $SERVED (one a line), its exit status to $STATUS.
host_run() {
    dir=$1
    shift
    before=$(wc -l <"$HOST/served.log")
    STATUS=0
    (cd "$dir" && "$@") </dev/null >"$HOST/out" 2>&1 || STATUS=$?
    SERVED=$(tail -n +"$((before + 1))" "$HOST/served.log")
}
