#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks run-test: under CI=true both ways of skipping fail with a message that names the skip;
# elsewhere a skip stays a skip (77) and a test's own result passes through.
set -u
runner="$(dirname "$0")/run-test"
failures=0
expect() { # expected-status description command...
    local want=$1 what=$2
    shift 2
    output=$("$@" 2>&1)
    local got=$?
    if [ "$got" -ne "$want" ]; then
        echo "FAIL: $what: exit $got, expected $want; output: $output"
        failures=$((failures + 1))
    fi
}
expect 1 "exit 77 under CI" env CI=true "$runner" sh -c 'exit 77'
expect 1 "QtTest skip under CI" env CI=true "$runner" sh -c 'echo "SKIP   : T::f() needs mtools"'
expect 0 "passing test under CI" env CI=true "$runner" sh -c 'echo "PASS   : T::f()"'
expect 3 "failing test under CI" env CI=true "$runner" sh -c 'exit 3'
expect 77 "exit 77 elsewhere" env -u CI "$runner" sh -c 'exit 77'
env CI=true "$runner" sh -c 'echo "SKIP   : T::f() needs mtools"' | grep -q 'no test may skip.*needs mtools' ||
    { echo "FAIL: the message does not name the skip"; failures=$((failures + 1)); }
[ "$failures" -eq 0 ] && echo "PASS: run-test"
exit $((failures > 0))
