#!/bin/sh
# The shared library must export exactly the names listed in $2.
set -eu
actual=$(nm -D --defined-only "$1" | awk '{print $NF}' | sort)
expected=$(sort "$2")
if [ "$actual" != "$expected" ]; then
    echo "exported symbols differ (< expected, > actual):"
    printf '%s\n' "$expected" > /tmp/orvel_exports_expected.$$
    printf '%s\n' "$actual" > /tmp/orvel_exports_actual.$$
    diff /tmp/orvel_exports_expected.$$ /tmp/orvel_exports_actual.$$ || true
    rm -f /tmp/orvel_exports_expected.$$ /tmp/orvel_exports_actual.$$
    exit 1
fi
echo "exports OK: $(echo "$actual" | wc -l) symbols"
