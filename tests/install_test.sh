#!/bin/sh
# Installs and packages as an administrator does, and checks what lands where.
#   install_test.sh SOURCE_DIR VERSION layout
#       installs into a throwaway prefix: the layout, and that the table follows the prefix
#       (/usr/local/etc/pathvane.conf by default, /etc/pathvane.conf with prefix /usr)
#   install_test.sh SOURCE_DIR VERSION package
#       builds the Debian package and checks its files, control data and maintainer scripts,
#       without installing it
#   install_test.sh SOURCE_DIR VERSION roundtrip BUILD_DIR
#       as root, on a host with Debian's cvs: packages BUILD_DIR (prefix /usr), installs the
#       package, runs commands through it, removes and purges it, and checks that Debian's
#       cvs is back as it was. It changes the host: never run it beside other tests.
# The builds use $CXX when it is set.
set -eu
source_dir=$1
version=$2
scenario=$3
. "$(dirname "$0")/support/checks.sh"
# The paths that a manual page on standard input names in its FILES section.
files_section() { sed -n '/^\.Sh FILES/,/^\.Sh [^F]/s/^\.It Pa //p'; }
# configure DIR ARGS...: a Release build without the tests, as an administrator configures one.
configure() {
    dir=$1
    shift
    cmake -S "$source_dir" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DPATHVANE_BUILD_TESTS=OFF "$@" >/dev/null
}
# hardening_flags BUILD_DIR SOURCE: the hardening flags in the compile command of SOURCE.
hardening_flags() {
    grep -B 2 "\"file\": \"$source_dir/$2\"" "$1/compile_commands.json" | grep '"command"' |
        tr ' ' '\n' | grep -e _FORTIFY_SOURCE -e stack-protector -e '^-fPIE$' | LC_ALL=C sort |
        tr '\n' ' ' | sed 's/ $//'
}
# package BUILD_DIR: builds BUILD_DIR and its Debian package into $work; prints the package.
package() {
    cmake --build "$1" >/dev/null
    (cd "$1" && cpack -G DEB -B "$work/deb") >"$work/cpack.log" 2>&1 ||
        { cat "$work/cpack.log" >&2; return 1; }
    echo "$work/deb/pathvane_${version}_$(dpkg --print-architecture).deb"
}

layout() {
    prefix=$work/prefix
    configure "$work/build" -DCMAKE_INSTALL_PREFIX="$prefix"
    cmake --build "$work/build" >/dev/null
    cmake --install "$work/build" --strip >/dev/null

    check "installed files" "$(cd "$prefix" && find . ! -type d | LC_ALL=C sort)" "./bin/pathvane
./sbin/pathvane-check
./share/doc/pathvane/examples/cvspserver.socket
./share/doc/pathvane/examples/cvspserver@.service
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
    # It routes nothing, which is no mistake; a missing fallback program is one.
    out=$("$prefix/sbin/pathvane-check" 2>&1 | grep -v ': not owned by root$')
    missing_fallback=
    [ -e /usr/bin/ncvs ] || missing_fallback="
fallback program '/usr/bin/ncvs': No such file or directory"
    check "the sample table" "$out" "$prefix/etc/pathvane.conf: note: no line names a program:\
 every command runs the fallback program /usr/bin/ncvs$missing_fallback"
    echo "* prog=$prefix/bin/pathvane" >"$work/self.conf"
    check "a table naming the installed pathvane" \
        "$("$prefix/sbin/pathvane-check" -f "$work/self.conf" 2>&1 | head -n 1)" \
        "$work/self.conf:1: program '$prefix/bin/pathvane' is pathvane itself, which refuses to run it"

    # The password server's units run the installed pathvane as cvs, and systemd takes them.
    examples=$prefix/share/doc/pathvane/examples
    check "the service runs the installed pathvane" \
        "$(grep '^ExecStart=' "$examples/cvspserver@.service")" \
        "ExecStart=@$prefix/bin/pathvane cvs -f --allow-root=/home/ncvs pserver"
    if command -v systemd-analyze >/dev/null; then
        check "systemd-analyze verify" "$(systemd-analyze verify "$examples/cvspserver.socket" \
            "$examples/cvspserver@.service" 2>&1; echo "status $?")" "status 0"
    else
        echo "systemd-analyze not installed: the units are not verified"
    fi

    # Linked fully static, pathvane runs without the dynamic loader, and is still a PIE where
    # the toolchain can link a static one.
    configure "$work/static" -DPATHVANE_STATIC=ON -DPATHVANE_FALLBACK=/bin/echo
    cmake --build "$work/static" --target pathvane >/dev/null
    linked="statically linked"
    grep -q '^PATHVANE_HAVE_STATIC_PIE:INTERNAL=1$' "$work/static/CMakeCache.txt" &&
        linked="static-pie linked"
    check "a static pathvane" "$(file -b "$work/static/pathvane" | grep -o -e 'static-pie linked' \
        -e 'statically linked')
$("$work/static/pathvane" runs the fallback)" "$linked
runs the fallback"
    rm -rf "$work/static"

    # A user's own flags for the hardening stand, and the build adds none of its own.
    configure "$work/unhardened" -DCMAKE_CXX_FLAGS="-U_FORTIFY_SOURCE -fno-stack-protector -fno-PIE" \
        -DCMAKE_EXE_LINKER_FLAGS="-no-pie -Wl,-z,lazy"
    check "the user's flags for the hardening" "$(hardening_flags "$work/unhardened" src/main.cpp)
$(grep -c -e relro -e ' -pie' "$work/unhardened/build.ninja")" "-U_FORTIFY_SOURCE -fno-stack-protector
0"
    rm -rf "$work/unhardened"

    # Configure only: the pages, the sample and the units show the paths of other configurations.
    while read -r args table fallback other_prefix; do
        configure "$work/other" $args
        check "table with $args" "$(files_section <"$work/other/man/pathvane.8")" "$table
$fallback
CVS/Root
/dev/log , /var/run/log"
        check "the package's diversion with $args" "$(mandoc -T ascii -O width=999 \
            "$work/other/man/pathvane.8" | col -b | grep -o "diverts Debian's /usr/bin/cvs to [^ ]*")" \
            "diverts Debian's /usr/bin/cvs to /usr/bin/ncvs,"
        check "sample with $args" "$(grep -o -e '^# /[^:]*' -e '/usr/bin/[a-z]*' \
            "$work/other/etc/pathvane.conf.sample")" "# $table
$fallback"
        check "units and their place with $args" "$(grep -h '^ExecStart=' \
            "$work/other/etc/cvspserver@.service")
$(mandoc -T ascii -O width=999 "$work/other/man/pathvane.8" | col -b |
            grep -o 'not enabled, in [^ ]*')" "ExecStart=@$other_prefix/bin/pathvane cvs -f\
 --allow-root=/home/ncvs pserver
not enabled, in $other_prefix/share/doc/pathvane/examples,"
        rm -rf "$work/other"
    done <<EOF
-DCMAKE_INSTALL_PREFIX=/usr/local /usr/local/etc/pathvane.conf /usr/bin/ncvs /usr/local
-DCMAKE_INSTALL_PREFIX=/usr /etc/pathvane.conf /usr/bin/ncvs /usr
-DPATHVANE_FALLBACK=/usr/bin/cvs /usr/local/etc/pathvane.conf /usr/bin/cvs /usr/local
-DPATHVANE_TABLE=/etc/pv.conf /etc/pv.conf /usr/bin/ncvs /usr/local
EOF
}

# The maintainer scripts: which dpkg-divert call each makes, with a stand-in dpkg-divert.
maintainer_scripts() {
    mkdir -p "$work/bin"
    printf '#!/bin/sh\necho "dpkg-divert $*" >>"%s"\n' "$work/diverted" >"$work/bin/dpkg-divert"
    chmod +x "$work/bin/dpkg-divert"
    add="dpkg-divert --package pathvane --rename --divert /usr/bin/ncvs --add /usr/bin/cvs"
    remove="dpkg-divert --package pathvane --rename --divert /usr/bin/ncvs --remove /usr/bin/cvs"
    while read -r expected script args; do
        : >"$work/diverted"
        PATH="$work/bin:$PATH" sh "$1/$script" $args || fail "$script $args: exit status $?"
        case $expected in add) expected=$add ;; remove) expected=$remove ;; none) expected= ;; esac
        check "$script $args" "$(cat "$work/diverted")" "$expected"
    done <<EOF
add preinst install
add preinst install 0.0.9
add preinst upgrade 0.0.9
none preinst abort-upgrade 9.9
remove postrm remove
remove postrm purge
remove postrm abort-install
remove postrm abort-install 0.0.9
remove postrm disappear other-package 1.0
none postrm upgrade 9.9
none postrm failed-upgrade 0.0.9
none postrm abort-upgrade 0.0.9
EOF
    # A diversion that fails fails the script, and dpkg stops.
    printf '#!/bin/sh\nexit 2\n' >"$work/bin/dpkg-divert"
    for call in "preinst install" "postrm remove"; do
        check "$call with a failing dpkg-divert" \
            "$(PATH="$work/bin:$PATH" sh "$1/${call% *}" "${call#* }" >/dev/null 2>&1 || echo $?)" 2
    done
}

package_contents() {
    command -v dpkg-deb >/dev/null || { echo "skipped: not a Debian system"; exit 77; }
    configure "$work/build" -DCMAKE_INSTALL_PREFIX=/usr
    deb=$(package "$work/build")
    arch=$(dpkg --print-architecture)

    check "files" "$(dpkg-deb -c "$deb" | awk '!/\/$/ { $3 = $4 = $5 = ""; print }' |
        tr -s ' ')" "-rw-r--r-- root/root ./etc/pathvane.conf
lrwxrwxrwx root/root ./usr/bin/cvs -> pathvane
-rwxr-xr-x root/root ./usr/bin/pathvane
-rwxr-xr-x root/root ./usr/sbin/pathvane-check
-rw-r--r-- root/root ./usr/share/doc/pathvane/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/pathvane/copyright
-rw-r--r-- root/root ./usr/share/doc/pathvane/examples/cvspserver.socket
-rw-r--r-- root/root ./usr/share/doc/pathvane/examples/cvspserver@.service
-rw-r--r-- root/root ./usr/share/doc/pathvane/examples/pathvane.conf.sample
-rw-r--r-- root/root ./usr/share/lintian/overrides/pathvane
-rw-r--r-- root/root ./usr/share/man/man5/pathvane.conf.5.gz
-rw-r--r-- root/root ./usr/share/man/man8/pathvane-check.8.gz
-rw-r--r-- root/root ./usr/share/man/man8/pathvane.8.gz"
    check "control" "$(dpkg-deb -f "$deb" Package Version Architecture Section Priority |
        sed 's/^[A-Za-z-]*: //')" "pathvane
$version
$arch
vcs
optional"
    depends=$(dpkg-deb -f "$deb" Depends)
    check "depends on cvs and libc" \
        "$(echo "$depends" | tr ',' '\n' | sed 's/^ *//; s/ .*//' | sort)" "cvs
libc6"
    dpkg-deb -e "$deb" "$work/control"
    check "control files" "$(cd "$work/control" && ls -l | awk 'NR > 1 { print $1, $NF }')" \
        "-rw-r--r-- conffiles
-rw-r--r-- control
-rw-r--r-- md5sums
-rwxr-xr-x postrm
-rwxr-xr-x preinst"
    check "conffiles" "$(cat "$work/control/conffiles")" "/etc/pathvane.conf"
    maintainer_scripts "$work/control"

    x=$work/x
    dpkg-deb -x "$deb" "$x"
    check "version" "$("$x/usr/sbin/pathvane-check" --version)" "pathvane-check $version"
    check "changelog" "$(zcat "$x/usr/share/doc/pathvane/changelog.gz" | head -n 1)" \
        "pathvane ($version) unstable; urgency=medium"
    check "the table is the sample" "$(cmp "$x/etc/pathvane.conf" \
        "$x/usr/share/doc/pathvane/examples/pathvane.conf.sample" 2>&1)" ""
    check "the table routes nothing" "$(grep -v -e '^#' -e '^$' "$x/etc/pathvane.conf")" ""
    check "the service runs the package's pathvane" "$(grep '^ExecStart=' \
        "$x/usr/share/doc/pathvane/examples/cvspserver@.service")" \
        "ExecStart=@/usr/bin/pathvane cvs -f --allow-root=/home/ncvs pserver"
    check "what a fresh install runs" \
        "$("$x/usr/sbin/pathvane-check" -f "$x/etc/pathvane.conf" -- cvs -d /home/ncvs co m)" \
        "from the option -d: root '/home/ncvs' (compared as '/home/ncvs'): /usr/bin/ncvs,\
 the fallback program (no line applies)"
    check "pathvane.conf(5)'s paths" "$(zcat "$x/usr/share/man/man5/pathvane.conf.5.gz" |
        files_section)" "/etc/pathvane.conf
/usr/share/doc/pathvane/examples/pathvane.conf.sample"
    check "copyright holds the licence" "$(awk '/^License: / { n++; next } n == 2' \
        "$x/usr/share/doc/pathvane/copyright" | sed 's/^ //; s/^\.$//')" \
        "$(tail -n +5 "$source_dir/LICENSE")"
    check "copyright holder" "$(grep '^Copyright: ' "$x/usr/share/doc/pathvane/copyright")" \
        "Copyright: 2026 The pathvane developers"

    # A build with another fallback makes no package.
    configure "$work/build" -DPATHVANE_FALLBACK=/usr/bin/cvs
    (cd "$work/build" && cpack -G DEB -B "$work/refused") >"$work/cpack.log" 2>&1 &&
        fail "cpack made a package with the fallback /usr/bin/cvs"
    check "cpack says why it refuses" "$(tr -s ' \n' '  ' <"$work/cpack.log" |
        grep -o 'The Debian package needs [^.]*\.')" "The Debian package needs a build configured\
 with -DCMAKE_INSTALL_PREFIX=/usr and the default PATHVANE_FALLBACK, /usr/bin/ncvs; this one\
 has prefix /usr and fallback /usr/bin/cvs."

    # Hardened as distributions build: the compiler's part, then what lintian sees of it.
    check "pathvane compiled hardened" "$(hardening_flags "$work/build" src/main.cpp)" \
        "-D_FORTIFY_SOURCE=3 -fPIE -fstack-protector-strong"
    check "pathvane linked hardened" "$(readelf -d "$x/usr/bin/pathvane" | grep -o 'Flags: NOW PIE')
$(readelf -l "$x/usr/bin/pathvane" | grep -c GNU_RELRO)" "Flags: NOW PIE
1"
    if command -v lintian >/dev/null; then
        check "lintian" "$(lintian --fail-on error,warning "$deb" 2>&1 |
            grep -v 'running with root privileges')" ""
        check "lintian on hardening" "$(lintian --display-info "$deb" 2>&1 | grep hardening-)" ""
    else
        echo "lintian not installed: not run"
    fi
}

# Runs as root on a host with Debian's cvs. Whatever happens, the trap removes the package and
# its diversion again.
roundtrip() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "FAIL: the round trip installs a package: run it as root"
        exit 1
    fi
    if [ ! -f /usr/bin/cvs ] || [ -e /usr/bin/ncvs ] || dpkg-divert --listpackage /usr/bin/cvs |
        grep -q . || dpkg-query -W pathvane >/dev/null 2>&1; then
        echo "FAIL: the host is not as the round trip needs it: Debian's cvs at /usr/bin/cvs," \
            "no /usr/bin/ncvs, no diversion, no pathvane package, not even its conffile"
        exit 1
    fi
    cp -p /usr/bin/cvs "$work/cvs.before"
    before=$(stat -c '%A %U %G %s %Y' /usr/bin/cvs)
    trap 'restore; rm -rf "$work"' EXIT
    trap 'exit 1' INT TERM HUP
    deb=$(package "$1")
    expected_version=$(/usr/bin/cvs --version)

    dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { fail "dpkg -i"; cat "$work/dpkg.log"; }
    check "cvs is pathvane" "$(readlink /usr/bin/cvs)" "pathvane"
    check "Debian's cvs is diverted" "$(dpkg-divert --truename /usr/bin/cvs)" "/usr/bin/ncvs"
    check "Debian's cvs under its new name" "$(cmp "$work/cvs.before" /usr/bin/ncvs 2>&1)" ""
    check "cvs --version" "$(cvs --version 2>&1)" "$expected_version"
    check "pathvane-check --version" "$(pathvane-check --version)" "pathvane-check $version"
    check "the fresh table checks cleanly" "$(pathvane-check 2>&1; echo "status $?")" \
        "/etc/pathvane.conf: note: no line names a program: every command runs the fallback\
 program /usr/bin/ncvs
status 0"
    echo "* prog=/usr/bin/cvs" >"$work/self.conf"
    check "a table naming cvs, which is pathvane" "$(pathvane-check -f "$work/self.conf" 2>&1)" \
        "$work/self.conf:1: program '/usr/bin/cvs' is pathvane itself, which refuses to run it"
    # Again, as an upgrade: the diversion stays.
    dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { fail "dpkg -i again"; cat "$work/dpkg.log"; }
    check "cvs is pathvane after an upgrade" "$(readlink /usr/bin/cvs)" "pathvane"
    check "diverted after an upgrade" "$(dpkg-divert --truename /usr/bin/cvs)" "/usr/bin/ncvs"

    # A route to a wrapper that notes its arguments, then runs Debian's cvs.
    repo=$work/repo
    cat >"$work/cvs-noted" <<EOF
#!/bin/sh
echo "\$*" >>"$work/noted"
exec /usr/bin/ncvs "\$@"
EOF
    chmod +x "$work/cvs-noted"
    echo "$repo prog=$work/cvs-noted" >>/etc/pathvane.conf
    : >"$work/noted"
    (cd "$work" && cvs -d "$repo" init) || fail "cvs init through the route"
    printf 'Root %s\nvalid-requests\n' "$repo" | cvs server >"$work/server.out" 2>&1 ||
        fail "cvs server through the route"
    check "the routed commands" "$(cat "$work/noted")" "-d $repo init
server"
    check "the routed server answers" "$(head -c 15 "$work/server.out")" "Valid-requests "
    check "the repository exists" "$(ls "$repo")" "CVSROOT"
    sed -i '$d' /etc/pathvane.conf
    (cd "$work" && cvs -d "$repo" init) || fail "cvs init without the route"
    check "without the route, Debian's cvs" "$(wc -l <"$work/noted")" 2

    echo "# kept" >>/etc/pathvane.conf
    dpkg -r pathvane >"$work/dpkg.log" 2>&1 || { fail "dpkg -r"; cat "$work/dpkg.log"; }
    check "removed: cvs is back, byte for byte" "$(cmp "$work/cvs.before" /usr/bin/cvs 2>&1)" ""
    check "removed: no ncvs" "$(ls /usr/bin/ncvs 2>&1)" \
        "ls: cannot access '/usr/bin/ncvs': No such file or directory"
    check "removed: no diversion" "$(dpkg-divert --listpackage /usr/bin/cvs)" ""
    check "removed: the edited table stays" "$(tail -n 1 /etc/pathvane.conf)" "# kept"
    check "removed: cvs --version" "$(cvs --version 2>&1)" "$expected_version"
    dpkg -P pathvane >"$work/dpkg.log" 2>&1 || { fail "dpkg -P"; cat "$work/dpkg.log"; }
    check "purged: no table" "$(ls /etc/pathvane.conf 2>&1)" \
        "ls: cannot access '/etc/pathvane.conf': No such file or directory"
    check "purged: cvs is as before" "$(cmp "$work/cvs.before" /usr/bin/cvs 2>&1 &&
        stat -c '%A %U %G %s %Y' /usr/bin/cvs)" "$before"
}

# Leaves the host as the round trip found it: no pathvane, Debian's cvs under its own name.
restore() {
    dpkg -P pathvane >/dev/null 2>&1 || echo "restore: dpkg -P pathvane failed" >&2
    if dpkg-divert --listpackage /usr/bin/cvs | grep -q .; then
        dpkg-divert --package pathvane --rename --divert /usr/bin/ncvs --remove /usr/bin/cvs
    fi
    cmp -s "$work/cvs.before" /usr/bin/cvs || echo "restore: /usr/bin/cvs differs from before" >&2
}

case $scenario in
layout) layout ;;
package) package_contents ;;
roundtrip) roundtrip "$4" ;;
*) echo "install_test.sh: no scenario $scenario" >&2; exit 2 ;;
esac
summary
