#!/usr/bin/env bash
# What starting a command costs: CPU time (perf stat's task-clock, or user +
# system time from GNU time where perf cannot count) of RUNS runs of
#   corvex inspect --help, corvex match --help      (start-up alone)
#   corvex inspect SHOW.pb, corvex match SHOW.pb CLIP.wav   (a whole small job)
#   corvex author --help                             (a command that loads everything)
# and the number of shared libraries each loads. The show and the clip are
# made here with corvex analyse from a minute of sound.
#
#   bench/startup.sh [--corvex PATH] [--runs N]
#
# Goal: corvex inspect and corvex match start in at most 0.05 s of CPU.
set -euo pipefail

corvex="$(dirname "$0")/../build/opt/tools/corvex/corvex"
runs=10
while [ $# -gt 0 ]; do
  case "$1" in
    --corvex) corvex="$2"; shift 2 ;;
    --runs) runs="$2"; shift 2 ;;
    -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "startup: unknown argument '$1' (see --help)" >&2; exit 2 ;;
  esac
done
command -v ffmpeg >/dev/null || { echo "startup: ffmpeg is needed" >&2; exit 1; }
[ -x "$corvex" ] || { echo "startup: no corvex at $corvex; build it or pass --corvex" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ffmpeg -v error -y -nostdin -f lavfi -i "sine=f=220:beep_factor=4:d=60:sample_rate=44100" \
  -f lavfi -i "anoisesrc=d=60:c=pink:a=0.15:r=44100" -filter_complex "[0][1]amix=inputs=2" -c:a pcm_s16le "$work/sound.wav"
ffmpeg -v error -y -nostdin -ss 20 -t 8 -i "$work/sound.wav" "$work/clip.wav"
printf 'P6\n1 1\n255\n\x10\x20\x30' > "$work/frame.ppm"
"$corvex" analyse --audio "$work/sound.wav" "$work/frame.ppm" -o "$work/show.pb" >/dev/null

perf_works=0
perf stat -x, -e task-clock true 2>/dev/null && perf_works=1
# CPU milliseconds per run, mean of RUNS runs.
measure() {
  if [ "$perf_works" = 1 ]; then
    perf stat -x, -r "$runs" -e task-clock "$@" 2>&1 >/dev/null | awk -F, '/task-clock/ { printf "%.1f", $1 }'
  else
    local total=0
    for _ in $(seq "$runs"); do
      /usr/bin/time -f "%U %S" -o "$work/time.txt" "$@" >/dev/null 2>&1 || true
      total=$(awk -v t="$total" '{ print t + ($1 + $2) * 1000 }' "$work/time.txt")
    done
    awk -v t="$total" -v n="$runs" 'BEGIN { printf "%.1f", t / n }'
  fi
}
libraries() { # shared objects in the process when the command is done
  LD_DEBUG=files "$@" 2>&1 >/dev/null | grep -c 'calling init:' || true
}

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg); CPU by $([ "$perf_works" = 1 ] && echo "perf stat task-clock" || echo "GNU time") over $runs runs"
printf '%-34s %14s %10s\n' command "CPU ms (mean)" libraries
for args in "inspect --help" "match --help" "inspect $work/show.pb" "match $work/show.pb $work/clip.wav" "author --help"; do
  read -r -a words <<< "$args"
  printf '%-34s %14s %10s\n' "${words[0]} ${words[1]##*/}${words[2]:+ ${words[2]##*/}}" \
    "$(measure "$corvex" "${words[@]}")" "$(libraries "$corvex" "${words[@]}")"
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
