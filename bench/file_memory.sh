#!/usr/bin/env bash
# Peak memory of `corvex author` against the length of the film. Films of each
# length are made here at benchmark time (never committed) from one minute
# of cheap low-bitrate video repeated by stream copy, so that a two-hour film
# takes seconds to make and little disk. Each row of the output is one film:
# its length, its size, and the largest resident set (GNU time's "Maximum
# resident set size") of RUNS runs (min / median / max), with the record's size.
#
#   bench/file_memory.sh [--corvex PATH] [--runs N] [--keep DIR] FILM...
#   FILM: HEIGHTxMINUTES[:CODEC], e.g. 360x1 360x10 360x60 1080x120 2160x10:hevc
#   (default: 360x1 360x10 360x60 1080x120)
#
# Goals on a 2-core machine: under 150 MB for two hours of 1080p, under 200 MB
# for 4K; the peak should not grow with the film beyond the record itself
# (31 bytes a frame, about 3.3 MB per hour of 30 frames per second; its
# encoding at the end, 4.8 MB more an hour, fits in what the decoder freed).
set -euo pipefail
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/lib.sh"

corvex="$(dirname "$0")/../build/opt/tools/corvex/corvex"
runs=3
keep=""
films=()
while [ $# -gt 0 ]; do
  case "$1" in
    --corvex) corvex="$2"; shift 2 ;;
    --runs) runs="$2"; shift 2 ;;
    --keep) keep="$2"; shift 2 ;;
    -h|--help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "file_memory: unknown option '$1' (see --help)" >&2; exit 2 ;;
    *) films+=("$1"); shift ;;
  esac
done
[ ${#films[@]} -gt 0 ] || films=(360x1 360x10 360x60 1080x120)
need file_memory ffmpeg /usr/bin/time
[ -x "$corvex" ] || { echo "file_memory: no corvex at $corvex; build it or pass --corvex" >&2; exit 1; }

work="${keep:-$(mktemp -d)}"
mkdir -p "$work"
[ -n "$keep" ] || trap 'rm -rf "$work"' EXIT

# One minute of the given height (16:9, 24 frames per second) with AAC sound.
clip() {
  local height=$1 codec=$2 file="$work/clip-$1-$2.mkv"
  if [ ! -s "$file" ]; then
    local width=$(( (height * 16 / 9 + 1) / 2 * 2 )) video=(-c:v libx264 -preset ultrafast -crf 35 -g 240)
    [ "$codec" = hevc ] && video=(-c:v libx265 -preset ultrafast -crf 35 -x265-params log-level=error:keyint=240)
    ffmpeg -v error -y -nostdin -f lavfi -i "testsrc2=s=${width}x${height}:r=24:d=60" \
      -f lavfi -i "sine=f=330:beep_factor=4:d=60" "${video[@]}" -c:a aac -b:a 64k "$file"
  fi
  echo "$file"
}


echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-14s %10s %28s %12s\n' film "size, MB" "peak RSS, MB (min/med/max)" "record, KB"
for film_name in "${films[@]}"; do
  height=${film_name%%x*}; rest=${film_name#*x}; minutes=${rest%%:*}; codec=h264
  [[ "$film_name" == *:* ]] && codec=${film_name##*:}
  film="$work/film-$height-$minutes-$codec.mkv"
  [ -s "$film" ] || ffmpeg -v error -y -nostdin -stream_loop $((minutes - 1)) -i "$(clip "$height" "$codec")" -c copy "$film"
  : > "$work/peaks.txt"
  for _ in $(seq "$runs"); do
    /usr/bin/time -f "%M" -o "$work/time.txt" "$corvex" author --hwaccel none "$film" -o "$work/show.pb" \
      >/dev/null 2>"$work/stderr.txt" || { cat "$work/stderr.txt" >&2; exit 1; }
    awk '{ print $1 / 1024 }' "$work/time.txt" >> "$work/peaks.txt"
  done
  printf '%-14s %10.1f %28s %12d\n' "$film_name" "$(($(stat -c %s "$film") / 1024))e-3" "$(stats 1 < "$work/peaks.txt")" \
    "$(($(stat -c %s "$work/show.pb") / 1024))"
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
