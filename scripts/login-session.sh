#!/usr/bin/env bash
# Login sessions on a machine where systemd-logind does not run (build
# machines, containers). The session library reads a session from two places:
# the process's control group (".../session-<id>.scope" in the unified
# hierarchy) and logind's record of it (/run/systemd/sessions/<id>). This
# script writes both the way logind does, so that everything reading sessions
# through the library sees a real one; it needs root and a writable cgroup2
# mount. Where logind runs, sessions are its own and the command just runs.
#
#   login-session.sh check
#       exit 0 when commands run inside a login session here, 1 when not
#   login-session.sh run <id> <uid> <command> [args...]
#       runs the command (and its children) in session <id> of user <uid>,
#       active; removes the session afterwards; the command's exit code
#   login-session.sh state <id> active|online|closing
#       changes the state of a session made by "run"
set -euo pipefail

sessions=/run/systemd/sessions

in_session() { grep -q '^0::.*/session-[^/]*\.scope$' /proc/self/cgroup; }
logind_runs() { [ -d /run/systemd/system ]; }
unified_root() { awk '$3 == "cgroup2" { print $2; exit }' /proc/self/mounts; }

can_make() {
  local root
  root=$(unified_root)
  [ "$(id -u)" = 0 ] && [ -n "$root" ] && [ -w "$root/cgroup.procs" ] && [ -d "$sessions" ] &&
    [ -w "$sessions" ]
}

# Writes the record as logind does: a new file renamed over the old one, so
# that a reader never sees half of it and watchers see one change.
write_record() {
  local id=$1 uid=$2 state=$3 tmp
  tmp=$(mktemp "$sessions/.#$id.XXXXXX")
  cat >"$tmp" <<EOF
UID=$uid
USER=$(getent passwd "$uid" | cut -d: -f1)
ACTIVE=$([ "$state" = active ] && echo 1 || echo 0)
IS_DISPLAY=0
STATE=$state
REMOTE=0
TYPE=tty
CLASS=user
SCOPE=session-$id.scope
EOF
  chmod 644 "$tmp"
  mv -f "$tmp" "$sessions/$id"
}

case "${1:-}" in
  check)
    in_session || logind_runs || can_make
    ;;
  run)
    [ $# -ge 4 ] || { echo "usage: $0 run <id> <uid> <command> [args...]" >&2; exit 2; }
    id=$2 uid=$3
    shift 3
    if in_session || logind_runs; then exec "$@"; fi
    if ! can_make; then
      echo "login-session: cannot make a login session here (needs root and a writable cgroup2" \
        "mount); running without one" >&2
      exec "$@"
    fi
    root=$(unified_root)
    scope="$root/user.slice/user-$uid.slice/session-$id.scope"
    cleanup() {
      echo $$ >"$root/cgroup.procs" 2>/dev/null || true
      rm -f "$sessions/$id"
      rmdir "$scope" "${scope%/*}" "${scope%/*/*}" 2>/dev/null || true
    }
    trap cleanup EXIT
    trap 'exit 143' TERM INT HUP  # ended by a signal, still cleaned up
    mkdir -p "$scope"
    echo $$ >"$scope/cgroup.procs"
    write_record "$id" "$uid" active
    rc=0
    "$@" || rc=$?
    exit $rc
    ;;
  state)
    [ $# -eq 3 ] && [ -f "$sessions/$2" ] || { echo "usage: $0 state <id of a session> active|online|closing" >&2; exit 2; }
    uid=$(sed -n 's/^UID=//p' "$sessions/$2")
    write_record "$2" "$uid" "$3"
    ;;
  *)
    echo "usage: $0 check | run <id> <uid> <command> [args...] | state <id> <state>" >&2
    exit 2
    ;;
esac
