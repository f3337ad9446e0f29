# Shared pieces of the end-to-end tests: a work folder, mounting with the
# real binary, and counting failures. Source it; set QUORVEL first.
: "${QUORVEL:?path of the quorvel binary}"

require_fuse() {
    if [ ! -e /dev/fuse ]; then
        echo "SKIP: /dev/fuse is missing"
        exit 77
    fi
}

E2E_WORK=$(mktemp -d)
E2E_MOUNTS=()
failures=0

e2e_cleanup() {
    local m
    for m in "${E2E_MOUNTS[@]}"; do fusermount -u "$m" 2>/dev/null; done
    rm -rf "$E2E_WORK"
}
trap e2e_cleanup EXIT

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# mount_volume IMAGE MOUNTPOINT [quorvel options...]: mounts and waits.
mount_volume() {
    local image=$1 mnt=$2
    shift 2
    mkdir -p "$mnt"
    if ! "$QUORVEL" "$@" "$image" "$mnt"; then
        fail "could not mount $image with [$*]"
        return 1
    fi
    E2E_MOUNTS+=("$mnt")
    return 0
}

# unmount_volume MOUNTPOINT: unmounts and waits for the daemon to go.
unmount_volume() {
    local mnt=$1 i
    for i in $(seq 50); do
        fusermount -u "$mnt" 2>/dev/null && break
        sleep 0.1
    done
    for i in $(seq 50); do
        pgrep -f "quorvel .*$mnt\$" >/dev/null || return 0
        sleep 0.1
    done
    fail "daemon for $mnt did not end"
}

finish() {
    if [ "$failures" -ne 0 ]; then
        echo "$failures check(s) failed"
        exit 1
    fi
    echo "${1:-all checks passed}"
    exit 0
}
