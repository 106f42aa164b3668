#!/bin/sh
# The manual pages pass mandoc's lint. Cross references to pages that are not installed on
# this machine (each other's, cvs(1)) are the only messages let through.
set -u
command -v mandoc >/dev/null || { echo "skipped: mandoc not installed"; exit 77; }
out=$(mandoc -T lint "$@" 2>&1 | grep -v -e 'referenced manual not found' -e 'mandoc.db')
[ -z "$out" ] || { printf '%s\n' "$out"; exit 1; }
