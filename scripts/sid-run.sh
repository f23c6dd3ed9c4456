#!/usr/bin/env bash
# Runs a command inside the Debian unstable root that provides CPython 3.15
# (see sid-root.sh, which this calls first to create the root when missing).
#
#   scripts/sid-run.sh CMD [ARGS...]    run CMD with ARGS as given (no shell)
#   scripts/sid-run.sh                  interactive login shell
#   scripts/sid-run.sh bash -lc '...'   when shell syntax is wanted
#
# The command runs in the caller's current directory. Visible inside the root
# at the same absolute paths as on the host:
#   - the git top-level of the current directory (or the current directory
#     when it is not in a git checkout),
#   - the directory "shared" beside that checkout, when it exists. Only the
#     checkout and that sibling are mounted, not the whole parent directory:
#     the parent may be something like /root or /home, and mounting it would
#     hide the root's own files there,
#   - the host's /tmp (SID_BIND_TMP=0 keeps the root's own /tmp), so temporary
#     files and venvs made inside can be inspected from the host,
#   - any extra host directories listed in SID_EXTRA_BINDS (space separated).
# /proc, /sys, /dev, /dev/pts and /dev/shm are bind-mounted from the host, so
# subprocess, multiprocessing and pseudo-terminal code works inside.
#
# Mounts are made in a private mount namespace (unshare), so they are never
# visible to other processes, several invocations can run one after another
# or at the same time without meeting each other's mounts, and the kernel
# drops them when the command ends, whatever way it ends. The EXIT trap below
# also unmounts explicitly; it is what cleans up on hosts where unshare is not
# permitted and mounts are made in the host's namespace instead.
#
# The environment inside is clean: HOME=/root, a standard PATH, LANG=C.UTF-8,
# DEBIAN_FRONTEND=noninteractive, plus TERM and CI and every variable named in
# SID_PASS_ENV (space separated) when set on the host. Exit status is the
# command's.
set -euo pipefail

SID_ROOT="${SID_ROOT:-/var/cache/native-sid-root}"
SID_ROOT="${SID_ROOT%/}"
SCRIPT_DIR="$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")" && pwd)"
# Set by sid-root.sh while provisioning: only the system mounts are wanted
# then, and provisioning must not call itself again.
PROVISIONING="${SID_RUN_PROVISIONING:-0}"

log() { printf '[sid-run] %s\n' "$*" >&2; }
die() { log "error: $*"; exit 125; }

[[ $EUID -eq 0 ]] || die "must run as root (chroot and mount need it)"

# Outer stage: make sure the root exists, then re-enter this script in a
# private mount namespace when the host allows it.
if [[ -z "${SID_RUN_INNER:-}" ]]; then
    if [[ "$PROVISIONING" != 1 ]]; then
        SID_ROOT="$SID_ROOT" bash "$SCRIPT_DIR/sid-root.sh" || die "provisioning the root failed"
    fi
    if command -v unshare >/dev/null && unshare --mount --propagation private true 2>/dev/null; then
        SID_RUN_INNER=ns exec unshare --mount --propagation private -- bash "${BASH_SOURCE[0]}" "$@"
    fi
    SID_RUN_INNER=host
fi

# Inner stage: mount, run, unmount.
[[ -x "$SID_ROOT/bin/bash" ]] || die "no usable root at $SID_ROOT"

MOUNTED=()
cleanup() {
    local i
    for ((i = ${#MOUNTED[@]} - 1; i >= 0; i--)); do
        umount -- "${MOUNTED[i]}" 2>/dev/null || umount -l -- "${MOUNTED[i]}" 2>/dev/null || true
    done
}
trap cleanup EXIT
# Leave a clean state also when interrupted; the EXIT trap does the unmounting.
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# bind SRC: bind-mounts host path SRC at the same path inside the root.
bind() {
    local src=$1 dst="$SID_ROOT$1"
    [[ -d "$src" ]] || return 0
    mkdir -p -- "$dst"
    # In the host's namespace a path already mounted belongs to another
    # invocation; reuse it and leave its unmounting to that invocation.
    if [[ "$SID_RUN_INNER" == host ]] && mountpoint -q -- "$dst"; then
        return 0
    fi
    mount --bind -- "$src" "$dst"
    MOUNTED+=("$dst")
}

# is_system_dir DIR: true for directories that must not be covered inside the
# root by the host's copy (doing so would replace the root's own system).
is_system_dir() {
    case "$1" in
        / | /bin | /boot | /dev | /etc | /home | /lib | /lib32 | /lib64 | /libx32 | \
        /media | /mnt | /opt | /proc | /root | /run | /sbin | /srv | /sys | /usr | /var | \
        /usr/* | /etc/* | /var/lib/* | /bin/* | /sbin/* | /lib/* | /lib64/* | /proc/* | /sys/* | /dev/* | /run/*)
            return 0 ;;
    esac
    return 1
}

# In a namespace of its own the root is made a mount point: inside it, / can
# then change its propagation, which `unshare --mount` does (the tests that
# need a private read-only or full file system use it). Done first, so that
# the mounts below go on top of it.
if [[ "$SID_RUN_INNER" == ns ]]; then
    mount --bind -- "$SID_ROOT" "$SID_ROOT"
    MOUNTED+=("$SID_ROOT")
fi
bind /proc
bind /sys
bind /dev
bind /dev/pts
bind /dev/shm

workdir=/
if [[ "$PROVISIONING" != 1 ]]; then
    # The root keeps a copy of the host's resolver settings (made when it was
    # provisioned); refresh it in case the host's changed since.
    cp -L /etc/resolv.conf "$SID_ROOT/etc/resolv.conf" 2>/dev/null || true

    if [[ "${SID_BIND_TMP:-1}" == 1 ]]; then
        bind /tmp
    fi

    cwd="$(pwd -P)"
    top="$(git -C "$cwd" rev-parse --show-toplevel 2>/dev/null || true)"
    [[ -n "$top" ]] || top="$cwd"
    if is_system_dir "$top"; then
        log "warning: not mounting $top (a system directory); running in / instead"
    else
        bind "$top"
        shared="$(dirname -- "$top")/shared"
        if [[ "$shared" != "$top" ]] && ! is_system_dir "$shared"; then
            bind "$shared"
        fi
        workdir="$cwd"
    fi
    for extra in ${SID_EXTRA_BINDS:-}; do
        extra="$(cd -- "$extra" && pwd -P)" || die "SID_EXTRA_BINDS: no such directory: $extra"
        is_system_dir "$extra" && die "SID_EXTRA_BINDS: refusing to cover system directory $extra"
        bind "$extra"
    done
fi

envs=(
    HOME=/root
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
    LANG=C.UTF-8
    DEBIAN_FRONTEND=noninteractive
)
for name in TERM CI ${SID_PASS_ENV:-}; do
    if [[ -n "${!name+x}" ]]; then
        envs+=("$name=${!name}")
    fi
done

if [[ $# -eq 0 ]]; then
    set -- bash -l
fi

# Not exec'd: the trap above has to run after the command ends.
set +e
chroot "$SID_ROOT" /usr/bin/env -i "${envs[@]}" /bin/bash -c 'cd -- "$1" && shift && exec "$@"' sid-run "$workdir" "$@"
rc=$?
set -e
exit "$rc"
