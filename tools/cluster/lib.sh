# Shared by loopback-ssh and loopback-slurm (sourced, not run): the state
# folder, free ports, and starting and stopping daemons by their pids.
#
# A state folder holds everything a script brings up: configuration, keys,
# logs, and the file `pids`, one "pid start-time name" line per process
# started. The start time (from /proc) keeps a reused pid from being taken
# for a daemon that has already ended.

LIB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
INSTALL_DEPS="$LIB_DIR/../install-deps"

die() {
  echo "$PROGRAM: $*" >&2
  exit 1
}

require_root() {
  [[ "$(id -u)" == 0 ]] || die "must run as root (it starts system daemons)"
}

# Creates the state folder, which must not exist or be empty, and marks it
# as this script's so that `down` never removes a folder it did not make.
make_state_folder() {
  local dir=$1
  if [[ -e "$dir" ]]; then
    [[ -d "$dir" && -z "$(ls -A "$dir")" ]] || die "$dir exists and is not an empty folder"
  fi
  mkdir -p "$dir" || die "cannot create $dir"
  chmod 755 "$dir"
  echo "$PROGRAM" >"$dir/.made-by"
  : >"$dir/pids"
}

check_state_folder() {
  local dir=$1
  [[ -f "$dir/.made-by" && "$(cat "$dir/.made-by")" == "$PROGRAM" ]] ||
    die "$dir was not made by '$PROGRAM up'"
}

absolute() {
  local dir=$1
  mkdir -p "$(dirname "$dir")" && echo "$(cd "$(dirname "$dir")" && pwd)/$(basename "$dir")"
}

# The fields of /proc/PID/stat after the name (state first), in the array
# STAT; false for a process that does not exist. The name may hold blanks
# and parentheses: everything up to the last ')' is skipped. Builtins only:
# the scans below look at every process.
read_stat() {
  local line
  { read -r line <"/proc/$1/stat"; } 2>/dev/null || return 1
  read -r -a STAT <<<"${line##*) }"
}

# The start time of a process in clock ticks (field 22), or nothing.
start_time_of() {
  read_stat "$1" && echo "${STAT[19]}"
  return 0
}

# True while the process runs (an ended process that nobody has reaped yet
# is a zombie, state Z, and counts as ended).
alive() {
  read_stat "$1" && [[ "${STAT[0]}" != Z && "${STAT[0]}" != X ]]
}

# Records a process this script started.
remember() {
  local dir=$1 pid=$2 name=$3
  echo "$pid $(start_time_of "$pid") $name" >>"$dir/pids"
}

# The pids of every running descendant of PID.
descendants() {
  local root=$1 entry pid changed=1
  local -A parent=() tree=([$root]=1)
  for entry in /proc/[0-9]*; do
    pid=${entry#/proc/}
    read_stat "$pid" && [[ "${STAT[0]}" != Z ]] && parent[$pid]=${STAT[1]}
  done
  while ((changed)); do
    changed=0
    for pid in "${!parent[@]}"; do
      if [[ -z "${tree[$pid]:-}" && -n "${tree[${parent[$pid]}]:-}" ]]; then
        tree[$pid]=1
        changed=1
      fi
    done
  done
  for pid in "${!tree[@]}"; do
    [[ "$pid" != "$root" ]] && echo "$pid"
  done
  return 0
}

# Waits up to TENTHS tenths of a second for every pid given to end; true
# when they all have.
wait_ended() {
  local tenths=$1
  shift
  local pid left i
  for ((i = 0; i <= tenths * 5; ++i)); do
    left=0
    for pid in "$@"; do
      alive "$pid" && left=1
    done
    ((left)) || return 0
    sleep 0.02
  done
  return 1
}

# The variable that marks the processes of a state folder: the daemons are
# started with it in their environment, and their children inherit it.
marker_of() { echo "LOOPBACK_CLUSTER_DIR=$1"; }

# Running processes whose environment holds the marker of DIR.
marked() {
  local file pid
  for file in $(grep -lzxF "$(marker_of "$1")" /proc/[0-9]*/environ 2>/dev/null); do
    pid=${file#/proc/}
    pid=${pid%/environ}
    [[ "$pid" != "$$" && "$pid" != "$BASHPID" ]] && alive "$pid" && echo "$pid"
  done
  return 0
}

# SIGTERM to the pids given, up to five seconds, then SIGKILL.
end_processes() {
  local what=$1
  shift
  (($#)) || return 0
  kill -TERM "$@" 2>/dev/null || true
  wait_ended 50 "$@" && return 0
  echo "$PROGRAM: $what did not end on SIGTERM; sending SIGKILL" >&2
  kill -KILL "$@" 2>/dev/null || true
  wait_ended 50 "$@" || echo "$PROGRAM: $what is still there" >&2
}

# Stops the processes recorded in the state folder, newest first, together
# with whatever they started that still runs under them; then whatever
# still carries the folder's marker (a session or job step that left its
# parent). A recorded pid whose start time no longer matches belongs to
# another process by now and is left alone.
stop_recorded() {
  local dir=$1
  [[ -f "$dir/pids" ]] || return 0
  local lines=() pid start name i
  mapfile -t lines <"$dir/pids"
  for ((i = ${#lines[@]} - 1; i >= 0; --i)); do
    read -r pid start name <<<"${lines[i]}"
    [[ -n "$pid" ]] || continue
    if ! alive "$pid" || [[ "$(start_time_of "$pid")" != "$start" ]]; then
      continue
    fi
    end_processes "$name (pid $pid)" "$pid" $(descendants "$pid")
  done
  local rest=()
  for pid in $(marked "$dir"); do
    rest+=("$pid" $(descendants "$pid"))
  done
  ((${#rest[@]} == 0)) || end_processes "processes left by the daemons (${rest[*]})" "${rest[@]}"
  return 0
}

# Ports in use on this machine, in any state, from /proc/net/tcp*.
ports_in_use() {
  local file slot local_address rest
  for file in /proc/net/tcp /proc/net/tcp6; do
    [[ -r "$file" ]] || continue
    while read -r slot local_address rest; do
      [[ "$slot" == sl ]] && continue
      echo $((16#${local_address##*:}))
    done <"$file"
  done
}

# A TCP port from 40000 to 59999 that nothing uses now and that is not
# among the arguments.
free_port() {
  local used port i
  used=" $(ports_in_use | tr '\n' ' ') $* "
  for ((i = 0; i < 1000; ++i)); do
    port=$((40000 + (RANDOM * 32768 + RANDOM) % 20000))
    [[ "$used" == *" $port "* ]] || {
      echo "$port"
      return 0
    }
  done
  die "no free TCP port found"
}

# Seconds since the epoch with milliseconds, for the timings printed.
now() { date +%s.%N | cut -c1-14; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }'; }
