# Sourced by the shell tests: `check WHAT ACTUAL EXPECTED` counts a check and shows a failed one,
# `fail WHAT` counts a failure, and `summary` says how many passed (naming $scenario) and fails
# where any did.
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
