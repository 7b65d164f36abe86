#!/usr/bin/env bash
# make demo: its dependency step installs only what building needs (never
# the test tool chain), and the demo itself fits on one screen, says what
# it did and finds each upload identical.
#
#   demo_test.sh SOURCE_FOLDER BUILD_FOLDER
set -uo pipefail
source=$1
build=$2
status=0
fail() { echo "FAIL: $*"; status=1; }

packages=$(bash "$source/scripts/install-deps.sh" build --print)
[ "$packages" = "cmake g++ make" ] || fail "the demo's packages are '$packages', not 'cmake g++ make'"

# What make demo would run, without running it.
plan=$(make --no-print-directory -n -C "$source" demo DEMO_BUILD="$build/demo-dry-run")
grep -q 'scripts/install-deps.sh build$' <<< "$plan" || fail "make demo does not install the build's packages alone: $plan"
if grep -E 'install-deps.sh( all)?$' <<< "$plan"; then fail "make demo installs the whole test tool chain"; fi
if grep -E -- '--target .*(test|bench)' <<< "$plan"; then fail "make demo builds tests or the benchmark"; fi

output=$(bash "$source/scripts/demo.sh" "$build" 2>&1)
demo_status=$?
echo "$output"
[ "$demo_status" -eq 0 ] || fail "demo.sh ended with status $demo_status"
[ "$(grep -c 'result    IDENTICAL' <<< "$output")" -eq 3 ] || fail "not all three uploads were found identical"
grep -q 'held the sender with XOFF' <<< "$output" || fail "the paced upload does not show the device's holds"
lines=$(wc -l <<< "$output")
[ "$lines" -le 24 ] || fail "the demo printed $lines lines, more than a screen"
if grep -q '/tmp/' <<< "$output"; then fail "the demo names a temporary file"; fi
exit $status
