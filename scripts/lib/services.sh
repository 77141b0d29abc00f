# shellcheck shell=bash
# What the scripts that start test services share. Source it; it only defines functions.
# SERVICES_SCRIPT names the caller in messages (its file name by default).

# True while PID runs; a zombie (killed, not yet reaped) counts as gone.
alive() {
  [ -n "${1:-}" ] && kill -0 "$1" 2>/dev/null && [ "$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)" != Z ]
}

# True when PID is still the program NAME (its first 15 characters, as the kernel keeps them),
# so that a recycled PID is never stopped.
is_program() { alive "$1" && [ "$(cat "/proc/$1/comm" 2>/dev/null)" = "${2:0:15}" ]; }

# wait_until WHAT COMMAND...: runs COMMAND (quietly) every 0.1 s until it succeeds, for at most
# SERVICES_WAIT seconds (30: a loaded machine, a build beside the tests, starts servers slowly).
wait_until() {
  local what=$1 tries=$((${SERVICES_WAIT:-30} * 10))
  shift
  for _ in $(seq 1 "$tries"); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "${SERVICES_SCRIPT:-$(basename "$0")}: $what did not come up within ${SERVICES_WAIT:-30} s" >&2
  return 1
}

# stop_pid FILE NAME: stops the process whose PID FILE records, if it is still NAME (SIGTERM, then
# SIGKILL after 5 s), and removes FILE.
stop_pid() {
  local pid
  pid=$(cat "$1" 2>/dev/null || true)
  if is_program "$pid" "$2"; then
    kill "$pid"
    for _ in $(seq 1 50); do
      alive "$pid" || break
      sleep 0.1
    done
    if alive "$pid"; then
      echo "${SERVICES_SCRIPT:-$(basename "$0")}: $2 ignored SIGTERM for 5 s: SIGKILL" >&2
      kill -9 "$pid"
    fi
  fi
  rm -f "$1"
}
