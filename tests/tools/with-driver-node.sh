#!/bin/bash
# Usage: with-driver-node.sh <command> [args...]
#
# Runs <command> in a private mount namespace whose /dev holds the device node of the
# packet-filter driver, /dev/kvVeloxForEthernet, so that the driver counts as present.
# The node is a readable regular file: enough for the presence test (open read-only); the
# driver's control requests on it fail as they would on a node without a driver behind it.
# The host's real /dev is never changed: /dev becomes an overlay whose lower layer is the real
# /dev and whose upper layer lives on a tmpfs private to the namespace; everything disappears
# when the command ends. The command is exec'd and keeps this script's process id.
# Needs root (or CAP_SYS_ADMIN). Exit status: the command's, or 125 when the namespace cannot
# be set up.
set -euo pipefail

readonly NODE_NAME=kvVeloxForEthernet

if [[ $# -lt 1 ]]; then
    echo "usage: $(basename "$0") <command> [args...]" >&2
    exit 2
fi

if [[ "${KV_DRIVER_NODE_NAMESPACE:-}" != "$$" ]]; then
    if ! unshare --mount --propagation private -- true 2>/dev/null; then
        echo "with-driver-node.sh: cannot create a private mount namespace (root needed)" >&2
        exit 125
    fi
    # --fork is not used: exec keeps the process id through unshare into the namespace.
    export KV_DRIVER_NODE_NAMESPACE=$$
    exec unshare --mount --propagation private -- "$BASH" "$0" "$@"
fi
unset KV_DRIVER_NODE_NAMESPACE

scratch=
fail() {
    echo "with-driver-node.sh: $*" >&2
    if [[ -n "$scratch" ]]; then
        umount --lazy --recursive "$scratch" 2>/dev/null || true
        rmdir "$scratch" 2>/dev/null || true
    fi
    exit 125
}

# An empty mount point of the same kind (directory or file) as `$1`, at `$2`.
make_mount_point() {
    if [[ -d "$1" ]]; then
        mkdir -p "$2"
    else
        mkdir -p "$(dirname "$2")" && touch "$2"
    fi
}

# The upper layer's tmpfs is mounted on a fresh directory, which is detached and removed again
# once the overlay holds it, so nothing is left behind.
scratch=$(mktemp -d "${TMPDIR:-/tmp}/kv-driver-node.XXXXXX") || fail "cannot create a directory"
mount -t tmpfs -o mode=0700,size=1m kv-driver-node "$scratch" || fail "cannot mount a tmpfs"
mkdir "$scratch/upper" "$scratch/work"

# The sub-mounts of /dev (pts, shm, mqueue, bound files such as a container's console) are not
# part of the overlay; remember them to bind them back on top of it.
mapfile -t submounts < <(findmnt -rn -o TARGET -R /dev | tail -n +2 | sort -u)
mkdir "$scratch/lower"
mount --bind /dev "$scratch/lower" || fail "cannot bind /dev"
for target in "${submounts[@]}"; do
    relative=${target#/dev/}
    make_mount_point "$target" "$scratch/keep/$relative"
    mount --rbind "$target" "$scratch/keep/$relative" || fail "cannot keep $target"
done

mount -t overlay kv-driver-dev \
    -o "lowerdir=$scratch/lower,upperdir=$scratch/upper,workdir=$scratch/work" /dev ||
    fail "cannot mount the overlay on /dev"
for target in "${submounts[@]}"; do
    relative=${target#/dev/}
    [[ -e "$target" ]] || make_mount_point "$scratch/keep/$relative" "$target"
    mount --rbind "$scratch/keep/$relative" "$target" || fail "cannot bind $target back"
done
umount --lazy "$scratch" || fail "cannot detach $scratch"
rmdir "$scratch"

install -m 0444 /dev/null "/dev/$NODE_NAME" || fail "cannot create /dev/$NODE_NAME"
exec "$@"
