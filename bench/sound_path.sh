#!/usr/bin/env bash
# The sound path's CPU against the fingerprinting library's own command-line
# tool on the same sound, interleaved in one run of this script:
#   corvex analyse --audio SOUND.wav (one tiny frame) -o show.pb   vs   fpcalc -length 0 SOUND.wav
#   corvex author FILM.mkv (the same PCM beside a 16 x 16 video) -o show.pb   vs   fpcalc -length 0 FILM.mkv
# CPU is user + system time (GNU time), min / median / max of RUNS runs, with
# the load average: on a shared machine wall time says little. The script also
# checks that each record's signature is byte for byte the fingerprint fpcalc
# prints for the same sound (its compressed form, base64).
#
# `corvex author` decodes on a thread of its own while the analysis runs, so
# its CPU time depends on the machine: where the two CPUs share one core's
# resources (virtual machines often do; fpcalc itself then costs 1.2-1.3 x more
# while the other CPU is busy) two threads at once cost more CPU than the same
# work done on one. The pair run on one CPU (taskset) compares the work alone.
#
# The sound is made here at benchmark time (never committed): MINUTES minutes
# (default 10) of a beeping tone over pink noise, 48 kHz stereo, 16-bit WAV.
# Needs ffmpeg, GNU time and fpcalc (apt-get install libchromaprint-tools).
#
#   bench/sound_path.sh [--corvex PATH] [--runs N] [--minutes M] [--keep DIR]
#
# Goal: each corvex command at most 1.2 x fpcalc's CPU.
set -euo pipefail
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/lib.sh"

corvex="$(dirname "$0")/../build/opt/tools/corvex/corvex"
runs=5
minutes=10
keep=""
while [ $# -gt 0 ]; do
  case "$1" in
    --corvex) corvex="$2"; shift 2 ;;
    --runs) runs="$2"; shift 2 ;;
    --minutes) minutes="$2"; shift 2 ;;
    --keep) keep="$2"; shift 2 ;;
    -h|--help) sed -n '2,23p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "sound_path: unknown argument '$1' (see --help)" >&2; exit 2 ;;
  esac
done
need sound_path ffmpeg /usr/bin/time fpcalc taskset
[ -x "$corvex" ] || { echo "sound_path: no corvex at $corvex; build it or pass --corvex" >&2; exit 1; }

work="${keep:-$(mktemp -d)}"
mkdir -p "$work"
[ -n "$keep" ] || trap 'rm -rf "$work"' EXIT
seconds=$(awk -v m="$minutes" 'BEGIN { printf "%d", m * 60 }')
sound="$work/sound-${seconds}s.wav"
film="$work/sound-${seconds}s.mkv"
if [ ! -s "$sound" ]; then
  ffmpeg -v error -y -nostdin -f lavfi -i "sine=f=220:beep_factor=4:d=$seconds:sample_rate=48000" \
    -f lavfi -i "anoisesrc=d=$seconds:c=pink:a=0.15:r=48000" \
    -filter_complex "[0][1]amix=inputs=2,pan=stereo|c0=c0|c1=c0" -ar 48000 -c:a pcm_s16le "$sound"
  ffmpeg -v error -y -nostdin -f lavfi -i "color=c=blue:s=16x16:r=1:d=$seconds" -i "$sound" \
    -c:v libx264 -preset ultrafast -c:a copy -shortest "$film"
fi
printf 'P6\n1 1\n255\n\x10\x20\x30' > "$work/frame.ppm"

cpu() { # runs the command; prints its user + system seconds
  # (fpcalc reports the end of a WAV file as a decoding error, after its fingerprint)
  /usr/bin/time -f "%U %S" -o "$work/time.txt" "$@" >"$work/stdout.txt" 2>"$work/stderr.txt" \
    || [ -s "$work/stdout.txt" ] || { cat "$work/stderr.txt" >&2; return 1; }
  awk 'END { print $1 + $2 }' "$work/time.txt"
}
# The record's signature as fpcalc prints fingerprints: URL-safe base64 without padding.
signature() {
  "$corvex" inspect --json "$1" | sed -n 's/.*"signature": *"\([^"]*\)".*/\1/p' | tr '+/' '-_' | tr -d '='
}

: > "$work/results.txt"
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
for i in $(seq "$runs"); do
  a=$(cpu "$corvex" analyse --audio "$sound" "$work/frame.ppm" -o "$work/analyse.pb")
  f=$(cpu fpcalc -length 0 -plain "$sound"); cp "$work/stdout.txt" "$work/fpcalc.txt"
  u=$(cpu "$corvex" author --hwaccel none "$film" -o "$work/author.pb")
  g=$(cpu fpcalc -length 0 -plain "$film")
  u1=$(cpu taskset -c 0 "$corvex" author --hwaccel none "$film" -o "$work/author.pb")
  g1=$(cpu taskset -c 0 fpcalc -length 0 -plain "$film")
  echo "$a $f $u $g $u1 $g1" >> "$work/results.txt"
  echo "run $i: analyse $a s, fpcalc $f s, author $u s, fpcalc (film) $g s; on one CPU $u1 s, $g1 s" >&2
done
reference=$(tr -d '\n' < "$work/fpcalc.txt")
same() { [ "$(signature "$1")" = "$reference" ] && echo "byte for byte fpcalc's" || echo "DIFFERS from fpcalc's"; }

echo "Sound: ${seconds} s, 48 kHz stereo; $runs runs (min / median / max of CPU seconds)"
echo "corvex analyse --audio:          $(awk '{ print $1 }' "$work/results.txt" | stats 3)"
echo "fpcalc -length 0 (WAV):          $(awk '{ print $2 }' "$work/results.txt" | stats 3)"
echo "analyse / fpcalc (<= 1.2):       $(awk '{ print $1 / $2 }' "$work/results.txt" | stats 3)"
echo "corvex author (tiny video):      $(awk '{ print $3 }' "$work/results.txt" | stats 3)"
echo "fpcalc -length 0 (film):         $(awk '{ print $4 }' "$work/results.txt" | stats 3)"
echo "author / fpcalc (<= 1.2):        $(awk '{ print $3 / $4 }' "$work/results.txt" | stats 3)"
echo "the same on one CPU:             $(awk '{ print $5 / $6 }' "$work/results.txt" | stats 3)"
echo "analyse's signature:             $(same "$work/analyse.pb")"
echo "author's signature:              $(same "$work/author.pb")"
echo "load average (1, 5, 15 min):     before $load_before, after $(cut -d' ' -f1-3 /proc/loadavg)"
