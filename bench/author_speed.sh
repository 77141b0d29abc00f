#!/usr/bin/env bash
# How fast `corvex author` makes a show from a film, against the plain FFmpeg
# pipeline a user could script (which does less: no sound, no record):
#   ffmpeg -threads 2 -i FILM -vf scale=5:5:flags=area -f null -
# Both run RUNS times on the same film in one run of this script, alternating;
# the figures are min/median/max of the runs. Peak memory is the largest
# resident set of each program. On a machine shared with other work, wall
# times follow the load: the CPU time each program used (user + system) is
# reported beside them, and the load average before and after.
#
# The film is made here at benchmark time (never committed): by default ten
# minutes of 1080p30 H.264 with AAC sound. Needs the ffmpeg command and GNU time.
#
#   bench/author_speed.sh [--corvex PATH] [--runs N] [--minutes M] [--hevc-4k] [--keep DIR]
#   (--minutes may be a fraction: --minutes 0.5 --hevc-4k times a 30-second 4K HEVC clip)
#
# Goals on a 2-core machine: at least 1.2x FFmpeg's throughput, at least 8x
# real time, peak memory under 200 MB.
set -euo pipefail
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/lib.sh"

corvex="$(dirname "$0")/../build/rel/tools/corvex/corvex"
runs=3
minutes=10
hevc=0
keep=""
while [ $# -gt 0 ]; do
  case "$1" in
    --corvex) corvex="$2"; shift 2 ;;
    --runs) runs="$2"; shift 2 ;;
    --minutes) minutes="$2"; shift 2 ;;
    --hevc-4k) hevc=1; shift ;;
    --keep) keep="$2"; shift 2 ;;
    -h|--help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "author_speed: unknown argument '$1' (see --help)" >&2; exit 2 ;;
  esac
done
need author_speed ffmpeg /usr/bin/time
[ -x "$corvex" ] || { echo "author_speed: no corvex at $corvex; build it (cmake --build build/rel --target corvex) or pass --corvex" >&2; exit 1; }

work="${keep:-$(mktemp -d)}"
mkdir -p "$work"
[ -n "$keep" ] || trap 'rm -rf "$work"' EXIT
seconds=$(awk -v m="$minutes" 'BEGIN { printf "%d", m * 60 }')
if [ "$hevc" = 1 ]; then
  film="$work/film-${seconds}s-2160p30-hevc.mkv"
  size=3840x2160; video=(-c:v libx265 -preset ultrafast -x265-params log-level=error)
else
  film="$work/film-${seconds}s-1080p30-h264.mp4"
  size=1920x1080; video=(-c:v libx264 -preset veryfast -crf 23)
fi
if [ ! -s "$film" ]; then
  echo "Making $film ..." >&2
  ffmpeg -v error -y -nostdin -f lavfi -i "testsrc2=s=$size:r=30:d=$seconds" \
    -f lavfi -i "sine=f=220:beep_factor=4:d=$seconds" "${video[@]}" -c:a aac -b:a 128k -shortest "$film"
fi

# One timed run: prints "wall_seconds max_rss_kb cpu_seconds".
timed() {
  /usr/bin/time -f "%e %M %U %S" -o "$work/time.txt" "$@" >/dev/null 2>"$work/stderr.txt" || { cat "$work/stderr.txt" >&2; return 1; }
  awk '{ print $1, $2, $3 + $4 }' "$work/time.txt"
}


: > "$work/results.txt"
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
for i in $(seq "$runs"); do
  read -r cw cm cc < <(timed "$corvex" author "$film" -o "$work/show.pb")
  read -r fw fm fc < <(timed ffmpeg -nostdin -v error -threads 2 -i "$film" -vf scale=5:5:flags=area -f null -)
  echo "$cw $cm $fw $fm $cc $fc" >> "$work/results.txt"
  echo "run $i: corvex author $cw s ($cm KB, CPU $cc s), ffmpeg $fw s ($fm KB, CPU $fc s)" >&2
done

echo "Film: $(basename "$film"), $seconds s; $runs runs (min / median / max)"
echo "corvex author wall time, s:       $(awk '{ print $1 }' "$work/results.txt" | stats 2)"
echo "ffmpeg pipeline wall time, s:     $(awk '{ print $3 }' "$work/results.txt" | stats 2)"
echo "throughput vs ffmpeg (x, >= 1.2): $(awk '{ print $3 / $1 }' "$work/results.txt" | stats 2)"
echo "speed, x real time (>= 8):        $(awk -v s="$seconds" '{ print s / $1 }' "$work/results.txt" | stats 2)"
echo "corvex peak memory, MB (< 200):   $(awk '{ print $2 / 1024 }' "$work/results.txt" | stats 2)"
echo "ffmpeg peak memory, MB:           $(awk '{ print $4 / 1024 }' "$work/results.txt" | stats 2)"
echo "corvex author CPU time, s:        $(awk '{ print $5 }' "$work/results.txt" | stats 2)"
echo "ffmpeg pipeline CPU time, s:      $(awk '{ print $6 }' "$work/results.txt" | stats 2)"
echo "CPU time, ffmpeg / corvex (x):    $(awk '{ print $6 / $5 }' "$work/results.txt" | stats 2)"
echo "load average (1, 5, 15 min):     before $load_before, after $(cut -d' ' -f1-3 /proc/loadavg)"
