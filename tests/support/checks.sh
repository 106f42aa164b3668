# Sourced by the shell tests: $work, a directory of their own, removed at exit; `check WHAT
# ACTUAL EXPECTED` counts a check and shows a failed one, `fail WHAT` counts a failure, and
# `summary` says how many passed (naming $scenario) and fails where any did.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
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
