#!/usr/bin/env bash
# Finds what a test run left behind.
#
#   leak-check.sh snapshot FILE      records the System V shared memory
#                                    segments and semaphore sets that exist now
#   leak-check.sh check FILE DIR...  fails when segments or semaphore sets
#                                    exist that FILE does not list, or when a
#                                    process still runs a program from one of
#                                    the build directories DIR (directly or
#                                    under qemu)
#
# Objects are told apart by kind, key and id: IPC_PRIVATE objects all have
# key 0, and a key removed and made again gets a new id.  Only objects that
# appeared since the snapshot count, so whatever else runs on the machine
# before the run does not make it fail.
set -euo pipefail

ipc_objects() {
  # ipcs prints a header, then one line per object: key, id, owner, ...
  ipcs -m | awk '$1 ~ /^0x/ { print "shm", $1, $2, "owner", $3 }'
  ipcs -s | awk '$1 ~ /^0x/ { print "sem", $1, $2, "owner", $3 }'
}

# Processes running a program from the given directories.  A process's own
# executable tells for native programs; under qemu-user the executable is the
# emulator and the target program is one of its arguments.
stray_processes() {
  local pid exe arg dir
  for proc in /proc/[0-9]*; do
    pid=${proc#/proc/}
    [[ "$pid" == "$$" ]] && continue
    exe=$(readlink "$proc/exe" 2>/dev/null) || continue
    local -a argv=()
    mapfile -d '' -t argv <"$proc/cmdline" 2>/dev/null || continue
    for dir in "$@"; do
      if [[ "$exe" == "$dir"/* ]]; then
        echo "$pid ${argv[*]}"
        continue 2
      fi
      if [[ "$(basename "$exe")" == qemu-* ]]; then
        for arg in "${argv[@]:1}"; do
          if [[ "$arg" == "$dir"/* ]]; then
            echo "$pid ${argv[*]}"
            continue 3
          fi
        done
      fi
    done
  done
}

case "${1:-}" in
  snapshot)
    [[ $# -eq 2 ]] || { echo "usage: $0 snapshot FILE" >&2; exit 2; }
    ipc_objects | sort >"$2"
    ;;
  check)
    [[ $# -ge 3 ]] || { echo "usage: $0 check FILE DIR..." >&2; exit 2; }
    before=$2
    shift 2
    dirs=()
    for dir in "$@"; do dirs+=("$(realpath -m "$dir")"); done
    status=0

    # Outside a private namespace another run on the machine may be about to
    # remove its objects; a real leak stays, so give them a moment.
    for _ in $(seq 20); do
      leaked=$(ipc_objects | sort | comm -13 "$before" -) || true
      [[ -z "$leaked" ]] && break
      sleep 0.25
    done
    if [[ -n "$leaked" ]]; then
      echo "leak-check: System V IPC objects left behind by the run:" >&2
      echo "$leaked" | sed 's/^/  /' >&2
      echo "  (remove them with ipcrm -m ID / ipcrm -s ID)" >&2
      status=1
    fi

    # Children killed with their parent may need a moment to go.
    for _ in $(seq 30); do
      strays=$(stray_processes "${dirs[@]}")
      [[ -z "$strays" ]] && break
      sleep 0.1
    done
    if [[ -n "$strays" ]]; then
      echo "leak-check: test processes still running:" >&2
      echo "$strays" | sed 's/^/  /' >&2
      status=1
    fi

    if ((status == 0)); then
      echo "leak-check: no System V IPC objects or test processes left behind"
    fi
    exit $status
    ;;
  *)
    echo "usage: $0 snapshot FILE | check FILE DIR..." >&2
    exit 2
    ;;
esac
