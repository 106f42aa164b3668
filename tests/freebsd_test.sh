#!/bin/sh
# Checks a FreeBSD cross build (the freebsd-amd64 and freebsd-arm64 presets) from what it built,
# as nothing here can run a FreeBSD program.
#   freebsd_test.sh SOURCE_DIR artefacts BUILD_DIR amd64|arm64
#       each program and test executable is a FreeBSD ELF for the machine, linked against
#       FreeBSD's libc with every symbol it takes from there bound to a FreeBSD version; the
#       programs are hardened as the build says (PIE, stack protector, full RELRO), and
#       pathvane holds FreeBSD's choices: the log socket, the sysctl, no look at pipes, the
#       ported cvs as the fallback
#   freebsd_test.sh SOURCE_DIR plist BUILD_DIR
#       the port's pkg-plist (packaging/freebsd) lists what `cmake --install` lays out, but
#       for what the port does on purpose: the examples in its EXAMPLESDIR, the sample table in
#       etc too (@sample), the manual pages compressed
set -eu
source_dir=$1
scenario=$2
build=$3
. "$(dirname "$0")/support/checks.sh"

# The symbols that FILE takes from shared libraries, each with the version it is bound to.
imports() { readelf --dyn-syms -W "$1" | awk '$7 == "UND" && $8 != "" { print $8 }'; }

artefacts() {
    case $1 in
    amd64) file_machine="x86-64" elf_machine="Advanced Micro Devices X86-64" ;;
    arm64) file_machine="ARM aarch64" elf_machine="AArch64" ;;
    *) echo "freebsd_test.sh: no machine $1" >&2; exit 2 ;;
    esac
    programs="pathvane pathvane-check"
    [ ! -d "$build/tests" ] || programs="$programs tests/pathvane_under_test
        tests/pathvane-check_under_test tests/pathvane_e2e"
    executables=$programs
    if [ -d "$build/tests" ]; then
        for f in "$build"/tests/*; do
            [ -f "$f" ] && [ -x "$f" ] && executables="$executables tests/${f##*/}"
        done
    fi
    for f in $executables; do
        path=$build/$f
        check "$f: a FreeBSD PIE for $1" \
            "$(file -b "$path" | grep -o -e "ELF 64-bit LSB pie executable, $file_machine" \
                -e "interpreter /libexec/ld-elf.so.1" -e "FreeBSD-style" | sort -u)" \
            "$(printf '%s\n' "ELF 64-bit LSB pie executable, $file_machine" FreeBSD-style \
                "interpreter /libexec/ld-elf.so.1")"
        check "$f: machine" "$(readelf -hW "$path" | sed -n 's/^ *Machine: *//p')" "$elf_machine"
        # The C++ runtime is linked in: what is taken from shared libraries is FreeBSD's own.
        check "$f: the libraries it needs" \
            "$(readelf -dW "$path" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' |
                grep -v -x -e libc.so.7 -e libm.so.5 -e libthr.so.3)" ""
        check "$f: every symbol bound to a version of FreeBSD's libraries" \
            "$(imports "$path" | grep -v '@FBSD_1\.[0-9]*$')" ""
    done
    for f in $programs; do
        path=$build/$f
        check "$f: full RELRO" \
            "$(readelf -lW "$path" | grep -c GNU_RELRO) $(readelf -dW "$path" |
                grep -o -e '(FLAGS) *BIND_NOW' -e 'Flags: NOW PIE' | sed 's/  */ /g' | sort |
                tr '\n' ' ')" "1 (FLAGS) BIND_NOW Flags: NOW PIE "
        check "$f: stack protector" "$(imports "$path" | grep -c '^__stack_chk_fail@')" 1
    done
    # zig's libc++ calls __stack_chk_fail whatever the build says: the programs' own code must
    # have been compiled to call it too.
    commands=$(grep -B 2 "\"file\": \"$source_dir/src/" "$build/compile_commands.json" |
        grep '"command"' || true)
    [ -n "$commands" ] || fail "no compile command of the programs' sources in $build"
    check "the programs' sources compiled with the stack protector" \
        "$(printf '%s\n' "$commands" | grep -c -v -e '-fstack-protector-strong')" 0
    # What the build chose, as pathvane names it for what(1), and what it calls to act on it.
    check "pathvane: FreeBSD's choices" "$(strings -a "$build/pathvane" | grep '^@(#)' | sort)" \
        "@(#)pathvane: finds the file it runs from through sysctl KERN_PROC_PATHNAME
@(#)pathvane: installed as /usr/local/bin/pathvane
@(#)pathvane: looks in place at sockets and files
@(#)pathvane: routing records to /var/run/log
@(#)pathvane: table /usr/local/etc/pathvane.conf, fallback /usr/local/bin/cvs"
    check "pathvane: calls sysctl, and neither tee nor splice" \
        "$(imports "$build/pathvane" | grep -c -e '^sysctl@' -e '^tee@' -e '^splice@')" 1
}

plist() {
    DESTDIR=$work/stage cmake --install "$build" --prefix /usr/local >/dev/null
    installed=$(cd "$work/stage/usr/local" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
    examples=share/doc/pathvane/examples
    # The port's list, with its own differences undone.
    listed=$(sed -e 's|^@sample ||' -e "s|^%%EXAMPLESDIR%%/|$examples/|" \
        -e 's|^\(share/man/.*\)\.gz$|\1|' "$source_dir/packaging/freebsd/pkg-plist" |
        grep -v -x etc/pathvane.conf.sample | LC_ALL=C sort)
    check "pkg-plist lists what cmake --install lays out" "$listed" "$installed"
    check "pkg-plist: the sample table in etc is the one among the examples" \
        "$(grep -c -x -e '@sample etc/pathvane.conf.sample' \
            -e '%%EXAMPLESDIR%%/pathvane.conf.sample' "$source_dir/packaging/freebsd/pkg-plist")" 2
}

case $scenario in
artefacts) artefacts "$4" ;;
plist) plist ;;
*) echo "freebsd_test.sh: no scenario $scenario" >&2; exit 2 ;;
esac
summary
