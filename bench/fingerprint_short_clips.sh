#!/bin/sh
# Places 200 clips of 3, 4 and 5 s (and 3 s with noise added) in a two-hour
# soundtrack, with 200 unrelated clips of each length, and prints the figures.
# Usage: bench/fingerprint_short_clips.sh BUILD_DIR  (an optimised build)
set -eu
build=${1:-build/rel}
program="$build/bench/fingerprint_short_clips"
[ -x "$program" ] || { echo "build the fingerprint_short_clips target in $build first" >&2; exit 1; }
for case in "3 200 0" "3 200 0.1" "4 200 0" "5 200 0"; do
    # shellcheck disable=SC2086
    "$program" $case
done
