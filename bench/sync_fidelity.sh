#!/usr/bin/env bash
# How closely a show recorded live follows the film, on each road a recording can take.
#
# A film made here (never committed): moving hue and brightness, each of the nine grid
# cells its own, and a tune of random notes that never repeats. It is authored from the
# file with `corvex author` (the reference: every film frame at its own time), and played
# full screen by mpv and recorded live with `corvex record` on each road:
#   x11    Xvfb with jwm and PulseAudio (a null sink), `--source x11`
#   sway   the headless sway of scripts/wayland-test-services, its monitor through the portal
#   kde    the headless KWin, mpv's window through the portal (KWin sends no picture of a monitor)
#   gnome  the headless gnome-shell, its monitor through the portal
# Each live frame is placed on the film by the sound: 5 s clips of the film are found in the
# live show and in the file show (`corvex match`, to a few milliseconds), and the difference
# of the two offsets says where the film started on the live show's time line. A live time
# stamp is cut to hundredths, so a frame stamped t was shown in [t, t + 0.01): the film frames
# on screen in that span are the ones the sound predicts. It then prints, per road and run:
#   on frame   the share of live frames whose colours are those of a predicted film frame
#              (the nearest best match within half a second is the frame shown)
#   p95        the 95th percentile of how many film frames the shown one is off the
#              predicted span
#   colour     the mean and the largest difference of a live frame's colours from the
#              predicted film frame's (0..255, averaged over the nine cells and r, g, b)
#   picture-sound  the player's own steady offset of its picture from its sound (its A/V
#              offset, positive when the picture is late): the offset that puts most frames
#              on a predicted one, which the share above is counted at
#   match      the same offset found in each clip's five seconds alone, the largest; after
#              it, how far apart the clips' `corvex match` offsets (live - file) lie
# Goals on a quiet machine: on frame >= 90 % and p95 <= 1 frame on x11 and sway; match
# within 0.05 s on every road. The load average is printed before and after each road:
# measure when it is low.
#
#   bench/sync_fidelity.sh [--corvex PATH] [--roads "x11 sway kde gnome"] [--runs N]
#                          [--seconds S] [--keep DIR]
# Needs ffmpeg, mpv, python3 and what scripts/test-services and scripts/wayland-test-services
# start (scripts/install-deps; GNOME's packages with CORVEX_TEST_DESKTOPS=gnome). Runs as root
# or as the user those scripts run as.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
corvex=$root/build/rel/tools/corvex/corvex
roads="x11 sway kde gnome"
runs=1
seconds=60
keep=""
while [ $# -gt 0 ]; do
  case "$1" in
    --corvex) corvex=$2; shift 2 ;;
    --roads) roads=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --keep) keep=$2; shift 2 ;;
    -h | --help) sed -n '2,/^set /{/^set /d;p;}' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "sync_fidelity: unknown argument '$1' (see --help)" >&2; exit 2 ;;
  esac
done
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/lib.sh"
need sync_fidelity ffmpeg mpv python3 Xvfb jwm pulseaudio pactl
[ -x "$corvex" ] || { echo "sync_fidelity: no corvex at $corvex; build it or pass --corvex" >&2; exit 1; }
corvex=$(cd "$(dirname "$corvex")" && pwd)/$(basename "$corvex")

work=${keep:-$(mktemp -d /tmp/corvex-sync.XXXXXX)}
mkdir -p "$work"
work=$(cd "$work" && pwd)
chmod 755 "$work" # mpv and the desktops' programs read the film
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for desktop in sway kde gnome; do
    [ -d "$work/desktop-$desktop" ] && "$root/scripts/wayland-test-services" stop "$work/desktop-$desktop" >/dev/null 2>&1
  done
  [ -n "$keep" ] || rm -rf "$work"
}
trap cleanup EXIT

film=$work/film.mkv
if [ ! -s "$film" ]; then
  echo "Making a ${seconds} s film in $work ..." >&2
  # The tune: notes of random pitch (three octaves of a pentatonic scale) and length, one seed.
  python3 - "$work/tune.wav" "$seconds" <<'PY'
import math, random, struct, sys, wave
path, seconds, rate = sys.argv[1], float(sys.argv[2]), 44100
rng = random.Random(20261207)
scale = [0, 2, 4, 7, 9]
samples, t = [], 0.0
while t < seconds:
    length = rng.choice([0.12, 0.18, 0.25, 0.33, 0.5])
    f = 196.0 * 2 ** ((12 * rng.randrange(3) + rng.choice(scale)) / 12)
    n = int(length * rate)
    for i in range(n):
        envelope = min(1.0, i / 300) * min(1.0, (n - i) / 600)
        x = i / rate
        samples.append(0.3 * envelope * (math.sin(2 * math.pi * f * x) + 0.4 * math.sin(4 * math.pi * f * x)))
    t += length
samples = samples[: int(seconds * rate)]
with wave.open(path, "wb") as out:
    out.setnchannels(1); out.setsampwidth(2); out.setframerate(rate)
    out.writeframes(b"".join(struct.pack("<h", int(s * 32767)) for s in samples))
PY
  # The picture: a hue that turns and a brightness that swells, each cell of the 3 x 3 grid a
  # third of a turn apart, made small and scaled up without blending.
  hue='(T/3.7+(floor(3*X/W)+3*floor(3*Y/H))/9)'
  light='(0.55+0.35*sin(2*PI*T/2.9))'
  ffmpeg -v error -y -nostdin -f lavfi -i "color=c=black:s=96x54:r=30:d=$seconds" -i "$work/tune.wav" \
    -vf "geq=r='255*$light*(0.5+0.5*cos(2*PI*$hue))':g='255*$light*(0.5+0.5*cos(2*PI*($hue-1/3)))':b='255*$light*(0.5+0.5*cos(2*PI*($hue-2/3)))',scale=1920:1080:flags=neighbor,format=yuv420p" \
    -c:v libx264 -preset veryfast -crf 16 -colorspace bt709 -color_primaries bt709 -color_trc bt709 \
    -c:a aac -b:a 160k -shortest "$film"
fi
if [ ! -s "$work/file.pb" ]; then
  "$corvex" author "$film" -o "$work/file.pb" 2>/dev/null
fi
clips=()
for start in $(seq 2 5 $((seconds - 7))); do
  clip=$work/clip-$start.wav
  [ -s "$clip" ] || ffmpeg -v error -y -nostdin -ss "$start" -t 5 -i "$film" -vn -ac 1 -ar 44100 "$clip"
  clips+=("$clip")
done

mpv_options=(--fs --pause --no-terminal --really-quiet --osd-level=0 --no-osc --cursor-autohide=always
  --hwdec=no --ao=pulse --keep-open=no --input-ipc-server="$work/mpv.sock")
mpv_command() { # JSON command to the waiting player
  python3 -c 'import socket, sys
s = socket.socket(socket.AF_UNIX); s.connect(sys.argv[1]); s.sendall(sys.argv[2].encode() + b"\n")' \
    "$work/mpv.sock" "$1"
}
until_exists() { for _ in $(seq 1 100); do [ -e "$1" ] && return 0; sleep 0.1; done; return 1; }

# record ROAD OUT ENV...: mpv (paused) and corvex record with the road's environment; the film
# starts once the recording has begun; the recording ends a few seconds after the film.
record() {
  local road=$1 out=$2 vo=wlshm
  shift 2
  [ "$road" = x11 ] && vo=x11
  rm -f "$work/mpv.sock"
  env "$@" mpv "${mpv_options[@]}" --vo="$vo" "$film" &
  local player=$!
  pids+=("$player")
  until_exists "$work/mpv.sock" || { echo "sync_fidelity: mpv did not start on $road" >&2; return 1; }
  sleep 1
  if [ "$road" = kde ] || [ "$road" = gnome ]; then
    # KWin sends no picture of a monitor; GNOME's picture of mpv's window stood still after the
    # film's first second here (frames kept coming, all alike), so GNOME records its monitor.
    local token what=(window mpv)
    [ "$road" = kde ] || what=(monitor)
    token=$("$root/scripts/wayland-test-services" remember "$work/desktop-$road" "${what[@]}")
    mkdir -p "$work/config-$road/corvex"
    printf '[General]\nscreencast_restore_token=%s\n' "$token" >"$work/config-$road/corvex/corvex.ini"
  fi
  local source=portal
  [ "$road" = x11 ] && source=x11
  env "$@" XDG_CONFIG_HOME="$work/config-$road" "$corvex" record --source "$source" --seconds $((seconds + 4)) \
    -o "$out" 2>"$work/record-$road.log" &
  local recorder=$!
  pids+=("$recorder")
  for _ in $(seq 1 100); do grep -q "^Recording" "$work/record-$road.log" && break; sleep 0.1; done
  mpv_command '{"command": ["set_property", "pause", false]}'
  wait "$recorder" || echo "sync_fidelity: corvex record on $road: $(tr '\r' '\n' <"$work/record-$road.log" | tail -n 1)" >&2
  kill "$player" 2>/dev/null || true
  wait "$player" 2>/dev/null || true
}

road_x11() {
  local out=$1 display own=()
  rm -f "$work/displayfd"
  Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset 3>"$work/displayfd" >/dev/null 2>&1 &
  own+=($!)
  for _ in $(seq 1 100); do [ -s "$work/displayfd" ] && break; sleep 0.1; done
  display=:$(tr -d '[:space:]' <"$work/displayfd")
  printf '<?xml version="1.0"?>\n<JWM></JWM>\n' >"$work/jwmrc"
  DISPLAY=$display jwm -f "$work/jwmrc" >/dev/null 2>&1 &
  own+=($!)
  pulseaudio --exit-idle-time=-1 --disallow-exit -n --use-pid-file=no --load="module-null-sink sink_name=test" \
    --load="module-native-protocol-unix socket=$work/pulse.sock auth-anonymous=1" >/dev/null 2>&1 &
  own+=($!)
  pids+=("${own[@]}")
  for _ in $(seq 1 100); do PULSE_SERVER=unix:$work/pulse.sock pactl info >/dev/null 2>&1 && break; sleep 0.1; done
  PULSE_SERVER=unix:$work/pulse.sock pactl set-default-sink test
  sleep 1
  record x11 "$out" -u WAYLAND_DISPLAY DISPLAY="$display" PULSE_SERVER="unix:$work/pulse.sock" XDG_SESSION_TYPE=x11
  kill "${own[@]}" 2>/dev/null || true
  wait "${own[@]}" 2>/dev/null || true
}

road_desktop() { # DESKTOP OUT
  local desktop=$1 out=$2 folder=$work/desktop-$1
  CORVEX_XDPW_SHIM=${CORVEX_XDPW_SHIM:-$root/build/asan/test-tools/xdpw_shm_shim.so} \
    "$root/scripts/wayland-test-services" start "$folder" "$desktop" >/dev/null
  local settings prefix
  settings=$("$root/scripts/wayland-test-services" env "$folder")
  [ -n "$settings" ] || { echo "sync_fidelity: the $desktop desktop did not come up" >&2; return 1; }
  prefix=$(echo "$settings" | head -n 1 | cut -d_ -f1-2)
  setting() { echo "$settings" | grep "^${prefix}_$1=" | cut -d= -f2-; }
  record "$desktop" "$out" -u DISPLAY WAYLAND_DISPLAY="$(setting DISPLAY)" XDG_RUNTIME_DIR="$(setting RUNTIME_DIR)" \
    DBUS_SESSION_BUS_ADDRESS="$(setting BUS)" PULSE_SERVER="$(setting PULSE_SERVER)" XDG_SESSION_TYPE=wayland
  "$root/scripts/wayland-test-services" stop "$folder" >/dev/null
}

# Places each live frame on the film and prints one row.
measure() { # ROAD RUN LIVE.pb
  local road=$1 run=$2 live=$3 offsets=()
  for clip in "${clips[@]}"; do
    offsets+=("$("$corvex" match "$live" "$clip" 2>/dev/null | grep -o 'offset [-0-9.]*' | cut -d' ' -f2 || true)")
    offsets+=("$("$corvex" match "$work/file.pb" "$clip" 2>/dev/null | grep -o 'offset [-0-9.]*' | cut -d' ' -f2 || true)")
  done
  if ! "$corvex" inspect --json "$live" >"$work/live.json" 2>"$work/inspect.log"; then
    printf '%-6s %3s  invalid record: %s\n' "$road" "$run" "$(sed 's/^corvex: [^:]*: //' "$work/inspect.log")"
    return 0
  fi
  "$corvex" inspect --json "$work/file.pb" >"$work/file.json"
  python3 - "$road" "$run" "$work/live.json" "$work/file.json" "${offsets[@]}" <<'PY'
import bisect, json, statistics, sys
road, run, live_path, file_path, *pairs = sys.argv[1:]
def frames(path):
    record = json.load(open(path))
    times = [int(t) / 100 for t in record.get("timestamps", [])]
    cells = sorted(record["channels"], key=lambda c: (c.get("y", 0), c.get("x", 0)))
    value = lambda c, k, i: c[k][i] if k in c else 0
    return times, [[(value(c, "r", i), value(c, "g", i), value(c, "b", i)) for c in cells] for i in range(len(times))]
live_t, live_c = frames(live_path)
file_t, file_c = frames(file_path)
def distance(a, b):
    return sum(abs(x - y) for p, q in zip(a, b) for x, y in zip(p, q)) / 27
# Where each clip puts the film's start on the live time line (live offset - film offset), at
# the clip's live time: between clips it is interpolated, as a receiver that keeps listening
# follows a player that runs a little slow or fast.
clips = sorted((float(pairs[i]), float(pairs[i]) - float(pairs[i + 1]))
               for i in range(0, len(pairs), 2) if pairs[i] and pairs[i + 1])
if not clips or not live_t:
    print(f"{road:6} {run:>3}  {len(live_t):6}   no {'match' if live_t else 'frames'}")
    sys.exit(0)
def start_at(t):
    if t <= clips[0][0] + 2.5:
        return clips[0][1]
    for (t0, s0), (t1, s1) in zip(clips, clips[1:]):
        if t <= t1 + 2.5:
            return s0 + (s1 - s0) * (t - t0 - 2.5) / (t1 - t0)
    return clips[-1][1]
# Both shows' time stamps are cut to hundredths: a live frame stamped t was shown
# in [t, t + 0.01), and a film frame stamped f came on screen in [f, f + 0.01)
# (the file show has every film frame, at the film's own times). The film frames
# that can be on screen in that span are the ones the sound predicts. The player
# shows its picture a steady few milliseconds before or after its sound (`d`,
# its own A/V offset), found as the middle of the offsets that put most frames
# on a predicted one, and reported beside the share.
def span(film):
    first = max(bisect.bisect_right(file_t, film - 0.01) - 1, 0)
    return first, max(bisect.bisect_right(file_t, film + 0.01) - 1, first)
def off(first, last, best):
    """How many film frames the closest candidate is outside [first, last]."""
    return min(0 if first <= k <= last else (first - k if k < first else k - last) for k in best)
def fit(items):
    scores = []
    for ms in range(-100, 101):
        scores.append((sum(1 for film, _, best in items if off(*span(film - ms / 1000), best) == 0), ms / 1000))
    top = max(score for score, _ in scores)
    ds = [d for score, d in scores if score == top]
    return ds[len(ds) // 2]
items = []
for t, c in zip(live_t, live_c):
    film = t - start_at(t)
    if not file_t[0] <= film <= file_t[-1]:
        continue
    guess = bisect.bisect_right(file_t, film) - 1
    near = range(max(guess - 15, 0), min(guess + 16, len(file_t)))
    # Film frames whose colours are alike tie: each of the closest is a
    # candidate for the one shown.
    closest = min(distance(c, file_c[k]) for k in near)
    items.append((film, (t, c), [k for k in near if distance(c, file_c[k]) == closest]))
if not items:
    print(f"{road:6} {run:>3}  {len(live_t):6}   no frame on the film")
    sys.exit(0)
offset = fit(items)
missed, colour = [], []
for film, (t, c), best in items:
    first, last = span(film - offset)
    missed.append(off(first, last, best))
    colour.append(min(distance(c, file_c[k]) for k in range(first, last + 1)))
on = missed.count(0) / len(missed)
p95 = sorted(missed)[int(0.95 * (len(missed) - 1))]
# Each clip's five seconds on their own: how far the picture is from its sound there.
match = max((abs(fit([i for i in items if t0 <= i[1][0] < t0 + 5])) for t0, _ in clips
             if any(t0 <= i[1][0] < t0 + 5 for i in items)), default=float("nan"))
# Where the clips put the film's start (live - file offset of `corvex match`): alike in
# every clip when the live show's sound keeps the film's time.
spread = max(s for _, s in clips) - min(s for _, s in clips)
print(f"{road:6} {run:>3}  {len(items):6}  {100 * on:7.1f} %  {p95:4d}  {statistics.mean(colour):7.2f} {max(colour):7.2f}"
      f"  {offset:+7.3f} s  {match:6.3f} s  ({len(clips)} clips; live - file offsets within {spread:.3f} s)")
PY
}

echo "road   run  frames  on frame   p95   colour mean/max  picture-sound  match"
for run in $(seq 1 "$runs"); do
  for road in $roads; do
    echo "# $road, run $run: load average $(cut -d' ' -f1-3 /proc/loadavg) before" >&2
    live=$work/live-$road-$run.pb
    rm -f "$live"
    if [ "$road" = x11 ]; then road_x11 "$live"; else road_desktop "$road" "$live"; fi
    echo "# $road, run $run: load average $(cut -d' ' -f1-3 /proc/loadavg) after" >&2
    if [ -s "$live" ]; then measure "$road" "$run" "$live"; else echo "$road $run  no recording"; fi
  done
done
