#!/usr/bin/env bash
# Creates and provisions a Debian unstable (sid) root that has CPython 3.15,
# its headers, numpy built for it, and a C++/CMake toolchain, so the extension
# can be built and tested against 3.15 on a host whose libc is too old to run
# sid's python3.15 directly.
#
# Idempotent: once provisioning has succeeded a marker file is written inside
# the root, and later calls return immediately. If the package list in this
# script (or SID_EXTRA_PACKAGES) changes, the missing packages are installed
# into the existing root instead of rebuilding it.
#
# Environment:
#   SID_ROOT            where the root lives (default /var/cache/native-sid-root;
#                       keep it outside the checkout, it is ~1 GiB)
#   SID_MIRROR          Debian mirror URL (default: the one the host's apt uses)
#   SID_EXTRA_PACKAGES  extra Debian packages to install, space separated
#   SID_REFRESH=1       re-run apt-get update + upgrade + install even when ready
#   SID_DEBOOTSTRAP_OPTS extra debootstrap options (e.g. --no-check-gpg)
#
# Needs root (debootstrap, chroot, mount). Runs without a terminal or stdin.
set -euo pipefail

SID_ROOT="${SID_ROOT:-/var/cache/native-sid-root}"
SID_ROOT="${SID_ROOT%/}"
SCRIPT_DIR="$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")" && pwd)"

# Packages installed inside the root. python3-numpy in unstable carries an
# extension build for every supported interpreter, including 3.15; pytest and
# hypothesis are pure Python and are found by python3.15 through
# /usr/lib/python3/dist-packages. git, make and ca-certificates are needed by
# pip/scikit-build-core builds (HTTPS to PyPI, VCS versioning, generators).
# The optional extras (pandas, GeoPandas with shapely and pyproj, Dask and
# distributed) come from unstable too, built for 3.15; proj-data is the data
# pyproj needs to know any coordinate system. Unstable has no 3.15 build of
# pyarrow, pyogrio or matplotlib, and its Dask is older than the package asks
# for (it still brings Dask's compiled dependencies): test-python315.sh takes
# those from PyPI.
PACKAGES=(
    python3.15 python3.15-dev python3.15-venv
    python3-numpy python3-pytest python3-hypothesis
    g++ cmake ninja-build make pkg-config
    libtbb-dev libgtest-dev libgmock-dev
    ca-certificates git
    python3-pandas python3-geopandas python3-shapely python3-pyproj
    python3-dask python3-distributed proj-data
)
# shellcheck disable=SC2206  # word splitting of the user's list is intended
PACKAGES+=(${SID_EXTRA_PACKAGES:-})

# Bump when the provisioning steps change in a way that needs re-running them.
PROVISION_VERSION=1
STAMP="v${PROVISION_VERSION} ${PACKAGES[*]}"

READY_MARKER="$SID_ROOT/.native-sid-root-ready"
BOOTSTRAP_MARKER="$SID_ROOT/.native-debootstrap-done"

log() { printf '[sid-root] %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }

is_ready() {
    [[ -f "$READY_MARKER" ]] && [[ "$(cat "$READY_MARKER" 2>/dev/null)" == "$STAMP" ]]
}

if [[ "${SID_REFRESH:-0}" != 1 ]] && is_ready; then
    exit 0
fi

[[ $EUID -eq 0 ]] || die "must run as root (debootstrap, chroot and mount need it)"
for tool in debootstrap chroot mount flock; do
    command -v "$tool" >/dev/null || die "$tool not found on the host"
done

# Serialise provisioning: two runs started together must not both bootstrap
# into the same directory. The lock file sits beside the root, not inside it,
# so it survives wiping a half-built root.
mkdir -p -- "$(dirname -- "$SID_ROOT")"
exec 9>"$SID_ROOT.lock"
flock 9

# Another run may have finished while this one waited for the lock.
if [[ "${SID_REFRESH:-0}" != 1 ]] && is_ready; then
    exit 0
fi

t_start=$SECONDS

# Picks the Debian archive URL the host's apt already uses (the main archive,
# not the security one), from deb822 .sources files or one-line .list files.
detect_mirror() {
    local f url
    for f in /etc/apt/sources.list.d/*.sources; do
        [[ -f "$f" ]] || continue
        url=$(awk 'tolower($1)=="uris:" { for (i = 2; i <= NF; i++) print $i }' "$f" \
              | grep -E '/debian/?$' | head -n1 || true)
        [[ -n "$url" ]] && { echo "${url%/}"; return; }
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [[ -f "$f" ]] || continue
        url=$(awk '$1=="deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; break } }' "$f" \
              | grep -E '/debian/?$' | head -n1 || true)
        [[ -n "$url" ]] && { echo "${url%/}"; return; }
    done
    echo "http://deb.debian.org/debian"
}
MIRROR="${SID_MIRROR:-$(detect_mirror)}"

# Refuses to delete a root that still has something mounted inside it: a bind
# mount of the checkout under it would otherwise be deleted along with it.
assert_nothing_mounted() {
    if awk -v r="$SID_ROOT/" 'index($5 "/", r) == 1 { found = 1 } END { exit !found }' /proc/self/mountinfo; then
        die "something is still mounted under $SID_ROOT; unmount it first (see /proc/self/mountinfo)"
    fi
}

# Runs a command inside the root with /proc, /sys, /dev mounted, through
# sid-run.sh in its minimal mode (no checkout, no /tmp, working dir /).
in_root() {
    SID_ROOT="$SID_ROOT" SID_RUN_PROVISIONING=1 bash "$SCRIPT_DIR/sid-run.sh" "$@" </dev/null
}

# --- Stage 1: debootstrap ---------------------------------------------------
if [[ ! -f "$BOOTSTRAP_MARKER" ]]; then
    if [[ -e "$SID_ROOT" ]]; then
        log "removing incomplete root at $SID_ROOT"
        assert_nothing_mounted
        rm -rf --one-file-system -- "$SID_ROOT"
    fi
    log "debootstrap unstable from $MIRROR into $SID_ROOT"
    t0=$SECONDS
    # minbase keeps the root small; everything else comes from apt below.
    # debootstrap does not look at Valid-Until, so an outdated Release file
    # is accepted here; only apt inside needs the override configured later.
    # shellcheck disable=SC2086  # extra options are meant to be split
    if ! debootstrap --variant=minbase ${SID_DEBOOTSTRAP_OPTS:-} unstable "$SID_ROOT" "$MIRROR"; then
        if [[ -f "$SID_ROOT/debootstrap/debootstrap.log" ]]; then
            tail -n 30 "$SID_ROOT/debootstrap/debootstrap.log" >&2
        fi
        # The host's keyring may be too old for the keys that currently sign
        # unstable. Retry once without the signature check; apt inside the
        # root then verifies with unstable's own, newer keyring.
        if [[ " ${SID_DEBOOTSTRAP_OPTS:-} " != *" --no-check-gpg "* ]]; then
            log "debootstrap failed; retrying once with --no-check-gpg"
            assert_nothing_mounted
            rm -rf --one-file-system -- "$SID_ROOT"
            # shellcheck disable=SC2086
            debootstrap --variant=minbase --no-check-gpg ${SID_DEBOOTSTRAP_OPTS:-} \
                unstable "$SID_ROOT" "$MIRROR" || die "debootstrap failed"
        else
            die "debootstrap failed"
        fi
    fi
    touch "$BOOTSTRAP_MARKER"
    log "debootstrap took $((SECONDS - t0)) s"
fi

# --- Stage 2: configuration inside the root --------------------------------
# apt: the mirror's Release file may be past its Valid-Until date; skip
# recommends to keep the root lean; retry flaky downloads.
cat >"$SID_ROOT/etc/apt/apt.conf.d/99native-sid-root" <<'EOF'
Acquire::Check-Valid-Until "false";
Acquire::Retries "3";
APT::Install-Recommends "false";
APT::Install-Suggests "false";
Dpkg::Use-Pty "0";
EOF
cat >"$SID_ROOT/etc/apt/sources.list" <<EOF
deb $MIRROR unstable main
EOF
# No daemons get started by package maintainer scripts in a chroot.
cat >"$SID_ROOT/usr/sbin/policy-rc.d" <<'EOF'
#!/bin/sh
exit 101
EOF
chmod 755 "$SID_ROOT/usr/sbin/policy-rc.d"
# Name resolution and local CA certificates (e.g. of an HTTPS proxy) come from
# the host so that apt and pip reach the same servers the host does.
cp -L /etc/resolv.conf "$SID_ROOT/etc/resolv.conf" 2>/dev/null || true
cp -L /etc/hosts "$SID_ROOT/etc/hosts" 2>/dev/null || true
mkdir -p "$SID_ROOT/usr/local/share/ca-certificates"
if compgen -G "/usr/local/share/ca-certificates/*" >/dev/null; then
    cp -rL /usr/local/share/ca-certificates/. "$SID_ROOT/usr/local/share/ca-certificates/"
fi
# pip inside (venvs included) verifies TLS against the system bundle, which
# holds those local certificates after update-ca-certificates.
cat >"$SID_ROOT/etc/pip.conf" <<'EOF'
[global]
cert = /etc/ssl/certs/ca-certificates.crt
disable-pip-version-check = true
EOF

# --- Stage 3: packages -------------------------------------------------------
log "installing: ${PACKAGES[*]}"
t0=$SECONDS
in_root apt-get -q update
if [[ "${SID_REFRESH:-0}" == 1 ]]; then
    in_root apt-get -q -y dist-upgrade
fi
in_root apt-get -q -y install "${PACKAGES[@]}"
in_root update-ca-certificates
in_root apt-get clean
log "package installation took $((SECONDS - t0)) s"

# --- Stage 4: check ----------------------------------------------------------
in_root python3.15 -c "import numpy, sys; print(sys.version, numpy.__version__)" \
    || die "python3.15 cannot import numpy inside the root"

printf '%s\n' "$STAMP" >"$READY_MARKER"
log "root ready at $SID_ROOT (total $((SECONDS - t_start)) s)"
