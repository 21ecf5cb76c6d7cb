#!/usr/bin/env bash
# A Debian sid root that carries the CPython releases the host lacks (3.14 and
# 3.15, with their headers and venv), and a way to run commands inside it.
#
# Usage: tools/sid-root.sh [--bind DIR]... [--] [COMMAND [ARG...]]
#
# Creates the root if it is missing (debootstrap, a few minutes; needs root
# and the network), otherwise reuses it, adding the EXTRAS it lacks. With a COMMAND, runs it in the root
# with /proc and /dev mounted and every --bind DIR visible at the same path
# as on the host, in the current directory when that is one of them. The
# mounts are made in a mount namespace of their own where unshare(1) allows
# it, and are removed when the command ends, however it ends.
#
# Environment: ORVEX_SID_ROOT (default /var/cache/orvex/sid-root).
set -euo pipefail

SID_ROOT="${ORVEX_SID_ROOT:-/var/cache/orvex/sid-root}"
PACKAGES="python3.14-dev,python3.14-venv,python3.15-dev,python3.15-venv,g++,ca-certificates"
# What the tests need besides (the shared-limiter tests start redis-server):
# added on first use, after a policy that keeps packages from starting
# services in the root.
EXTRAS="redis-server"

complete() {
  [ -x "$1/usr/bin/python3.14" ] && [ -x "$1/usr/bin/python3.15" ] && [ -x "$1/usr/bin/g++" ]
}

# Built beside its final path and renamed when complete, so that an
# interrupted debootstrap never leaves a root that looks usable; the lock keeps
# two runs from building it at once.
create_root() {
  mkdir -p "$(dirname "$SID_ROOT")"
  exec 9>"$SID_ROOT.lock"
  flock 9
  if complete "$SID_ROOT"; then
    return
  fi
  if ! command -v debootstrap >/dev/null; then
    apt-get install -y debootstrap
  fi
  local partial="$SID_ROOT.partial"
  rm -rf "$partial"
  echo "sid-root: creating $SID_ROOT" >&2
  debootstrap --variant=minbase --include="$PACKAGES" sid "$partial"
  complete "$partial" || {
    echo "sid-root: debootstrap finished without $PACKAGES" >&2
    exit 1
  }
  rm -rf "$SID_ROOT"
  mv "$partial" "$SID_ROOT"
  exec 9>&-
}

# Installs the EXTRAS a reused root lacks (run with the root's mounts up).
add_extras() {
  local package missing=()
  for package in ${EXTRAS//,/ }; do
    [ -x "$SID_ROOT/usr/bin/$package" ] || missing+=("$package")
  done
  [ "${#missing[@]}" -gt 0 ] || return 0
  exec 8>"$SID_ROOT.lock"
  flock 8
  echo "sid-root: adding ${missing[*]}" >&2
  # No service starts in the root while packages install (the policy is
  # removed again if it was ours). sid's Release files may be past their
  # Valid-Until on a machine whose clock runs ahead of the mirror.
  local policy="$SID_ROOT/usr/sbin/policy-rc.d" own_policy=false rc=0
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' >"$policy"
    chmod +x "$policy"
    own_policy=true
  fi
  chroot "$SID_ROOT" sh -c 'apt-get -q -o Acquire::Check-Valid-Until=false update &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@"' \
    sh "${missing[@]}" >&2 || rc=$?
  if $own_policy; then rm -f "$policy"; fi
  exec 8>&-
  return "$rc"
}

MOUNTED=()
unmount_all() {
  local i
  for ((i = ${#MOUNTED[@]} - 1; i >= 0; i--)); do
    umount "${MOUNTED[$i]}" || umount -l "${MOUNTED[$i]}" || true
  done
  MOUNTED=()
}

bind() {
  mkdir -p "$2"
  mount --bind "$1" "$2"
  MOUNTED+=("$2")
}

# Runs "$@" in the root; called in the private namespace when there is one.
run_inside() {
  local binds=() dir cwd=/
  while [ "$#" -gt 0 ]; do
    case "$1" in
    --bind)
      binds+=("$(realpath "$2")")
      shift 2
      ;;
    --)
      shift
      break
      ;;
    *) break ;;
    esac
  done
  trap unmount_all EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  cp /etc/resolv.conf "$SID_ROOT/etc/resolv.conf"
  cp /etc/ssl/certs/ca-certificates.crt "$SID_ROOT/etc/ssl/certs/ca-certificates.crt"
  bind /proc "$SID_ROOT/proc"
  bind /dev "$SID_ROOT/dev"
  add_extras
  for dir in "${binds[@]}"; do
    bind "$dir" "$SID_ROOT$dir"
    case "$PWD/" in "$dir"/*) cwd="$PWD" ;; esac
  done
  # The host's pip settings point at its own files; the root has its own
  # interpreters and gets its packages from the index.
  local rc=0
  env -u PIP_FIND_LINKS -u VIRTUAL_ENV -u PYTHONPATH -u PYTHONHOME \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    chroot "$SID_ROOT" /bin/sh -c 'cd "$1" && shift && exec "$@"' sh "$cwd" "$@" || rc=$?
  return "$rc"
}

if [ "${1:-}" = "--in-namespace" ]; then
  shift
  run_inside "$@"
  exit
fi

[ "$(id -u)" -eq 0 ] || {
  echo "sid-root: needs root (debootstrap, mount, chroot)" >&2
  exit 1
}
complete "$SID_ROOT" || create_root

args=("$@")
while [ "${#args[@]}" -gt 0 ] && [ "${args[0]}" = "--bind" ]; do args=("${args[@]:2}"); done
[ "${args[0]:-}" = "--" ] && args=("${args[@]:1}")
if [ "${#args[@]}" -eq 0 ]; then
  echo "$SID_ROOT"
  exit 0
fi

if unshare --mount --propagation private true 2>/dev/null; then
  exec unshare --mount --propagation private bash "$(realpath "$0")" --in-namespace "$@"
fi
run_inside "$@"
