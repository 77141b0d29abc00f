# shellcheck shell=bash
# Shared by the benchmark scripts: sourced, not run.

# Fails with a hint unless every command named is installed.
need() {
  local script=$1; shift
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "$script: $tool is needed (see scripts/install-deps)" >&2; exit 1; }
  done
}

# min / median / max of the numbers on standard input, with DIGITS decimals (default 2).
stats() {
  sort -g | awk -v d="${1:-2}" '{ v[NR] = $1 } END {
    m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    f = "%." d "f / %." d "f / %." d "f"; printf f, v[1], m, v[NR] }'
}
