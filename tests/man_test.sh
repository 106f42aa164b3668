#!/bin/sh
# The manual pages pass mandoc's lint, and their key sentences survive rendering, by mandoc and
# by groff (which man(1) runs on Debian): a word that the macros take for one of theirs, such
# as "No", vanishes without a lint message.
#   man_test.sh MAN_DIR
set -u
dir=$1
command -v mandoc >/dev/null || { echo "skipped: mandoc not installed"; exit 77; }
status=0
# Cross references to pages that are not installed on this machine (each other's, cvs(1)) are
# the only lint messages let through.
out=$(mandoc -T lint "$dir/pathvane.8" "$dir/pathvane-check.8" "$dir/pathvane.conf.5" 2>&1 |
    grep -v -e 'referenced manual not found' -e 'mandoc.db')
[ -z "$out" ] || { printf '%s\n' "$out"; status=1; }

# A rendered page as one line: no overstrike, no quotes, runs of blanks squeezed. Lines are
# wide enough that nothing is hyphenated.
flat() {
    col -b | tr -s ' \t\n' '   ' | sed -e "s/‘//g" -e "s/’//g" -e "s/['\"\`]//g" -e 's/ $//'
}
renderers="mandoc"
command -v groff >/dev/null && renderers="mandoc groff"
while IFS='|' read -r page sentence; do
    want=$(printf '%s\n' "$sentence" | flat)
    for renderer in $renderers; do
        if [ "$renderer" = mandoc ]; then
            text=$(mandoc -T utf8 -O width=999 "$dir/$page" 2>/dev/null | flat)
        else
            text=$(groff -mandoc -T utf8 -rLL=999n "$dir/$page" 2>/dev/null | flat)
        fi
        case $text in
        *"$want"*) ;;
        *) echo "FAIL: $page rendered by $renderer lacks: $sentence"; status=1 ;;
        esac
    done
done <<'EOF_SENTENCES'
pathvane.8|cvs: exec: No such file or directory
pathvane.8|program: is pathvane itself, not run
pathvane.8|Routing is not access control.
pathvane.8|/pub/../secret, /secret/. and a path through a symbolic link to /secret are routed by another line
pathvane.8|or with any bytes other than letters and NUL before Root, as in 9Root /pub, followed by Root /secret: pathvane takes the tab for a blank and passes over what comes before the first letter
pathvane.8|command="cvs --allow-root=/home/ncvs server",no-pty,no-port-forwarding,
pathvane.8|Name programs by absolute paths
pathvane.8|keep it owned by root and not writable by group or others, and keep it readable by every user
pathvane.8|The Debian package diverts Debian's /usr/bin/cvs to /usr/bin/ncvs
pathvane.8|cvspserver stream tcp nowait root /usr/bin/cvs cvs -f
pathvane.8|The password server lets anyone who can connect reach every program in the table, before authentication, just by naming its repository
pathvane.8|exec /usr/local/bin/cvs-new --allow-root=/srv/cvs/new "$@"
pathvane.8|a line's text ends at its first newline or NUL byte, the next line begins after the newline, and a carriage return is part of the text.
pathvane.8|A remote cvs init sends no Root request: pathvane knows that from its first request
pathvane.8|route mode=server uid=1001 from="192.0.2.7" source="Root request"
pathvane.8|route mode=pserver uid=0 from="2001:db8::7" source="auth request"
pathvane.8|last : (host:/path, host:2401/path), the last @ before that :; in any other root, as user:password@host/path or one that is not well formed, the last @ of all. A local root, and one whose first : comes right before its path, as host:/r/a@b or user@host:/r, has none.
pathvane-check.8|program '...' is pathvane itself, which refuses to run it
pathvane-check.8|program '...' lies in '...', which only its owner can search: for every other user, the command fails with 'Permission denied'
pathvane-check.8|note: no line names a program: every command runs the fallback program
pathvane-check.8|* PROGRAM the fallback program
pathvane-check.8|from the option -d: root '/home/ncvs' (compared as '/home/ncvs')
pathvane-check.8|pserver mode: the root comes from the client's auth request
pathvane.conf.5|A pattern beginning with * makes a default entry.
pathvane.conf.5|a pattern that holds a : never applies.
pathvane.conf.5|/home/projects/old prog = /usr/local/bin/cvs-1.10 # until the move
pathvane.8|Nothing installs /usr/bin/ncvs on FreeBSD: build pathvane with -DPATHVANE_FALLBACK=/usr/local/bin/cvs
pathvane.8|Give pathvane the name cvs: ln -s ../bin/pathvane /usr/local/sbin/cvs
pathvane-check.8|Anyone who can write to the log can add records (logger -t pathvane): what the records say is advice, not proof.
EOF_SENTENCES
exit $status
