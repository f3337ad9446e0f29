#!/usr/bin/env bash
# The threaded mount under load: volumes built by mkhfs (compressed files of
# every layout, fragmented forks, hard links, large folders, extended
# attributes; a raw volume, the same volume in a UDIF image on a GPT disk and,
# with the shared reference data, real LZFSE and LZVN streams) are read once
# through a single-threaded mount for reference, then mounted with FUSE's
# threads and hammered from many processes at once for THREADS_SECONDS
# (default 25): hashes of the same and of random files, walks, attribute
# dumps, reads at random offsets, one folder opened and closed by many
# threads, a file read through one descriptor while others open and close it.
# Every answer must equal the reference; the workers must finish (no
# deadlock); each daemon must exit with status 0 after unmounting, with
# nothing on its standard error but its own messages.
#
# The daemons run in the foreground (-f) in the background of this script,
# with TSAN_OPTIONS set so that in a ThreadSanitizer build the first report
# ends the daemon (the mount then fails) and is kept in a log file: any log
# file fails the test. In other builds the options are unused and the test is
# a plain concurrency test.
set -u
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
source "$here/../manifest_data.sh"
require_fuse
: "${MKHFS:?path of mkhfs}"
for tool in getfattr python3; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
seconds=${THREADS_SECONDS:-25}
started=$SECONDS

images=$E2E_WORK/images
mkdir -p "$images"
"$MKHFS" --quiet "$here/manifests/threads.json" "$images/threads.img" || fail "mkhfs threads"
"$MKHFS" --quiet --container udif --partition-map gpt --encoding zlib \
    "$here/manifests/threads.json" "$images/threads.dmg" || fail "mkhfs threads (UDIF)"
"$MKHFS" --quiet --container sparseimage "$here/manifests/threads.json" \
    "$images/threads.sparseimage" || fail "mkhfs threads (sparse image)"
volumes=(raw udif sparse)
declare -A image=([raw]=$images/threads.img [udif]=$images/threads.dmg
    [sparse]=$images/threads.sparseimage)
# Per mount: the options of the threaded mount besides the common ones.
# noublio and cache_size=1 take the bounce buffer and churn the path cache;
# the UDIF image goes through the block cache into the image reader, the
# sparse image straight into its reader.
declare -A extra=([raw]="noublio,cache_size=1" [udif]="cache_size=64" [sparse]="noublio")
compression=$SOURCE_DIR/tests/mkhfs/manifests/compression.json
if manifest_data_present "$compression"; then
    "$MKHFS" --quiet "$compression" "$images/compression.img" || fail "mkhfs compression"
    volumes+=(compression)
    image[compression]=$images/compression.img
    extra[compression]=blksize=4096
else
    echo "note: no shared reference data; the real LZFSE and LZVN streams are left out"
fi
[ "$failures" -eq 0 ] || finish

declare -A daemon python_pids
worker_pids=()
stop_workers() {
    local p
    for p in "${worker_pids[@]}"; do kill "$p" 2>/dev/null; done
}
trap 'stop_workers; for p in "${daemon[@]}"; do kill "$p" 2>/dev/null; done; e2e_cleanup' EXIT

# start_daemon NAME IMAGE MOUNTPOINT [options...]: runs quorvel in the
# foreground, in the background, and waits until the volume is mounted.
start_daemon() {
    local name=$1 img=$2 mnt=$3 i
    shift 3
    mkdir -p "$mnt"
    TSAN_OPTIONS="${TSAN_OPTIONS:-} halt_on_error=1 exitcode=66 log_path=$E2E_WORK/tsan-$name" \
        "$QUORVEL" -f "$@" "$img" "$mnt" 2>"$E2E_WORK/stderr-$name" &
    daemon[$name]=$!
    E2E_MOUNTS+=("$mnt")
    for i in $(seq 600); do
        awk -v m="$mnt" '$2 == m {found = 1} END {exit !found}' /proc/mounts && return 0
        kill -0 "${daemon[$name]}" 2>/dev/null || break
        sleep 0.1
    done
    fail "$name: not mounted: $(cat "$E2E_WORK/stderr-$name")"
    return 1
}

# stop_daemon NAME MOUNTPOINT: unmounts, waits for the daemon and checks how
# it ended.
stop_daemon() {
    local name=$1 mnt=$2 pid=${daemon[$1]} i status
    for i in $(seq 100); do
        fusermount -u "$mnt" 2>/dev/null && break
        sleep 0.1
    done
    for i in $(seq 300); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
        fail "$name: the daemon did not end after unmounting"
        kill -9 "$pid"
    fi
    wait "$pid"
    status=$?
    unset "daemon[$name]"
    [ "$status" -eq 0 ] || fail "$name: the daemon exited with status $status"
    # In the foreground the daemon's own messages (a file of a kind it cannot
    # decode, say) go to standard error too; anything else there is a fault.
    if grep -qv '^quorvel: ' "$E2E_WORK/stderr-$name"; then
        fail "$name: the daemon wrote to its standard error:"
        head -50 "$E2E_WORK/stderr-$name"
    fi
    local log
    for log in "$E2E_WORK/tsan-$name".*; do
        [ -e "$log" ] || continue
        fail "$name: ThreadSanitizer reported ($log):"
        head -100 "$log"
    done
}

# The reference: what a single-threaded mount shows.
common=rsrc_ext=.rsrc
reference() { # reference NAME MOUNTPOINT
    local name=$1 mnt=$2 ref=$E2E_WORK/ref-$1
    mkdir -p "$ref/copies"
    (
        cd "$mnt" || exit 1
        find . -printf '%p %y %s %n %m %U %G %T@ %i %l\n' | LC_ALL=C sort >"$ref/listing"
        # "HASH PATH" and "SIZE PATH" of every file that can be read (not
        # those of unknown compression types); resource forks are reached by
        # name only.
        { find . -type f -print0; printf './fragmented/with-fork.rsrc\0'; } |
            xargs -0 sha256sum 2>/dev/null | sed 's/  / /' | LC_ALL=C sort -k2 >"$ref/sums"
        cut -d' ' -f2- "$ref/sums" | tr '\n' '\0' | xargs -0 stat -c '%s %n' >"$ref/files"
        # The largest files (the compressed, fragmented and linked ones) are
        # read hardest; copies of them serve the reads at random offsets.
        sort -rn "$ref/files" | head -6 | cut -d' ' -f2- >"$ref/hot"
        i=0
        while IFS= read -r f; do
            cp "$f" "$ref/copies/$i"
            i=$((i + 1))
        done <"$ref/hot"
        # The attribute dumps of every top-level item and of the files
        # beside the hot ones.
        find . -mindepth 1 -maxdepth 2 -not -path './big/*' -not -path './tree/*' |
            LC_ALL=C sort >"$ref/xattr-paths"
        tr '\n' '\0' <"$ref/xattr-paths" | xargs -0 getfattr -h -d -m - -e hex >"$ref/xattrs" 2>&1
        # The largest folder, for the readers of one folder.
        find . -type d -printf '%s\t%p\n' | while IFS=$'\t' read -r _ d; do
            echo "$(find "$d" -mindepth 1 -maxdepth 1 | wc -l) $d"
        done | sort -rn | head -1 >"$ref/big-folder"
    ) || fail "$name: reference pass"
    [ -s "$ref/sums" ] && [ -s "$ref/hot" ] || fail "$name: reference pass found no files"
}

for v in "${volumes[@]}"; do
    mnt=$E2E_WORK/mnt-$v
    start_daemon "$v-single" "${image[$v]}" "$mnt" -s -o "$common" || continue
    reference "$v" "$mnt"
    stop_daemon "$v-single" "$mnt"
done
# The same volume through the disk images: the same listing and contents.
for v in udif sparse; do
    for f in listing sums xattrs; do
        cmp -s "$E2E_WORK/ref-raw/$f" "$E2E_WORK/ref-$v/$f" ||
            fail "the $v image and the raw volume differ ($f)"
    done
done
[ "$failures" -eq 0 ] || finish

# The workers. Each runs until the deadline, appends "KIND COUNT" to counts
# when done and one line per wrong answer to problems (at most a few each).
problems=$E2E_WORK/problems counts=$E2E_WORK/counts
: >"$problems"
: >"$counts"
problem() { echo "$*" >>"$problems"; }

hash_file() { # hash_file REF PATH-IN-MOUNT MOUNTPOINT
    local want got
    want=$(awk -v p="$2" 'substr($0, 66) == p {print $1}' "$1/sums")
    # nocache: the pages read are dropped, so that the next reader asks the
    # daemon again.
    got=$(dd if="$3/$2" iflag=nocache bs=131072 status=none | sha256sum | cut -d' ' -f1)
    [ "$got" = "$want" ] || { problem "$3/$2: read $got, want $want"; return 1; }
}

worker() { # worker KIND NAME MOUNTPOINT DEADLINE
    local kind=$1 name=$2 mnt=$3 deadline=$4 ref=$E2E_WORK/ref-$2 n=0 bad=0
    local hot files
    mapfile -t hot <"$ref/hot"
    mapfile -t files < <(cut -d' ' -f2- "$ref/files")
    while [ "$EPOCHSECONDS" -lt "$deadline" ] && [ "$bad" -lt 3 ]; do
        case $kind in
        same) # every worker of this kind reads the same files
            for f in "${hot[@]}"; do hash_file "$ref" "$f" "$mnt" || bad=$((bad + 1)); done ;;
        random)
            for _ in 1 2 3 4 5 6 7 8; do
                hash_file "$ref" "${files[RANDOM % ${#files[@]}]}" "$mnt" || bad=$((bad + 1))
            done ;;
        walk)
            if ! (cd "$mnt" && find . -printf '%p %y %s %n %m %U %G %T@ %i %l\n' | LC_ALL=C sort |
                cmp -s - "$ref/listing"); then
                problem "$mnt: the listing differs"
                bad=$((bad + 1))
            fi
            ls -lR "$mnt" >/dev/null 2>&1 || { problem "$mnt: ls -lR failed"; bad=$((bad + 1)); }
            stat -f "$mnt" >/dev/null || { problem "$mnt: statfs failed"; bad=$((bad + 1)); }
            for _ in 1 2 3 4 5 6 7 8; do
                stat "$mnt/${files[RANDOM % ${#files[@]}]}" >/dev/null ||
                    { problem "$mnt: stat failed"; bad=$((bad + 1)); }
            done ;;
        xattrs)
            if ! (cd "$mnt" && tr '\n' '\0' <"$ref/xattr-paths" |
                xargs -0 getfattr -h -d -m - -e hex 2>&1 | cmp -s - "$ref/xattrs"); then
                problem "$mnt: the attribute dump differs"
                bad=$((bad + 1))
            fi ;;
        dd)
            local i=$((RANDOM % ${#hot[@]})) size offset count
            size=$(stat -c %s "$ref/copies/$i")
            offset=$(((RANDOM * 32768 + RANDOM) % (size + 1)))
            count=$((RANDOM % 300000 + 1))
            if ! cmp -s <(dd if="$mnt/${hot[i]}" iflag=skip_bytes,count_bytes,nocache skip="$offset" \
                count="$count" bs=65536 status=none) \
                <(dd if="$ref/copies/$i" iflag=skip_bytes,count_bytes skip="$offset" \
                    count="$count" bs=65536 status=none); then
                problem "$mnt/${hot[i]}: $count bytes at $offset differ"
                bad=$((bad + 1))
            fi ;;
        esac
        n=$((n + 1))
    done
    echo "$kind $n" >>"$counts"
}

cat >"$E2E_WORK/threads.py" <<'EOF'
# One process, many threads: a folder opened, read (wholly or in part) and
# closed by many threads at once; a file read through one long-held
# descriptor while other threads open, read and close it.
import os, random, sys, threading, time

mnt, ref, deadline = sys.argv[1], sys.argv[2], float(sys.argv[3])
count, folder = open(os.path.join(ref, "big-folder")).read().split(" ", 1)
folder, count = os.path.join(mnt, folder.strip()), int(count)
hot = open(os.path.join(ref, "hot")).read().splitlines()
copies = [open(os.path.join(ref, "copies", str(i)), "rb").read() for i in range(len(hot))]
problems, counts, lock = [], {"folder": 0, "partial": 0, "held": 0, "churn": 0}, threading.Lock()

def note(kind, problem=None):
    with lock:
        counts[kind] += 1
        if problem and len(problems) < 10:
            problems.append(problem)

def whole_folder():
    while time.time() < deadline:
        n = len(os.listdir(folder))
        note("folder", None if n == count else "%s: %d entries, want %d" % (folder, n, count))

def partial_folder():
    while time.time() < deadline:
        with os.scandir(folder) as it:
            for _ in range(random.randrange(1, 50)):
                if next(it, None) is None:
                    break
        note("partial")

def held(fd, i):
    path, want = os.path.join(mnt, hot[i]), copies[i]
    while time.time() < deadline:
        at = random.randrange(len(want) + 1)
        n = random.randrange(1, 200000)
        # Dropped from the page cache, so that the daemon is asked.
        os.posix_fadvise(fd, at, n, os.POSIX_FADV_DONTNEED)
        if os.fstat(fd).st_size != len(want):
            note("held", "%s: fstat gives another size" % path)
        got = os.pread(fd, n, at)
        note("held", None if got == want[at:at + n] else "%s: %d bytes at %d differ" % (path, n, at))

def churn(i):
    path, want = os.path.join(mnt, hot[i]), copies[i]
    while time.time() < deadline:
        fd = os.open(path, os.O_RDONLY)
        at = random.randrange(len(want) + 1)
        os.posix_fadvise(fd, at, 4096, os.POSIX_FADV_DONTNEED)
        got = os.pread(fd, 4096, at)
        os.close(fd)
        note("churn", None if got == want[at:at + 4096] else "%s: 4096 bytes at %d differ" % (path, at))

threads = [threading.Thread(target=f) for f in (whole_folder, whole_folder, partial_folder, partial_folder)]
held_fds = []
for i in range(min(2, len(hot))):
    # Three threads read through one descriptor (one open file in the daemon)
    # while three others open and close the same file.
    held_fds.append(os.open(os.path.join(mnt, hot[i]), os.O_RDONLY))
    threads += [threading.Thread(target=held, args=(held_fds[-1], i)) for _ in range(3)]
    threads += [threading.Thread(target=churn, args=(i,)) for _ in range(3)]
for t in threads:
    t.start()
for t in threads:
    t.join()
for fd in held_fds:
    os.close(fd)
for p in problems:
    print(p)
print(" ".join("%s %d" % kv for kv in counts.items()))
sys.exit(1 if problems or not all(counts.values()) else 0)
EOF

echo "images built and read for reference in $((SECONDS - started))s; hammering ${volumes[*]} for ${seconds}s"
for v in "${volumes[@]}"; do
    start_daemon "$v" "${image[$v]}" "$E2E_WORK/mnt-$v" \
        -o "threads,$common,entry_timeout=0,attr_timeout=0,negative_timeout=0,${extra[$v]}"
done
[ "$failures" -eq 0 ] || finish
deadline=$((EPOCHSECONDS + seconds))
for v in "${volumes[@]}"; do
    mnt=$E2E_WORK/mnt-$v
    for kind in same same random random walk xattrs dd dd; do
        worker "$kind" "$v" "$mnt" "$deadline" 2>>"$E2E_WORK/worker-errors" &
        worker_pids+=($!)
    done
    python3 "$E2E_WORK/threads.py" "$mnt" "$E2E_WORK/ref-$v" "$deadline" >"$E2E_WORK/python-$v" 2>&1 &
    worker_pids+=($!)
    python_pids[$v]=$!
done

# The most threads each daemon had while it was hammered: several serve at
# once, or the mount is not threaded at all.
sample_threads() { # sample_threads NAME PID DEADLINE
    local most=0 now
    while [ "$EPOCHSECONDS" -lt "$3" ]; do
        now=$(awk '$1 == "Threads:" {print $2}' "/proc/$2/status" 2>/dev/null)
        [ "${now:-0}" -gt "$most" ] && most=$now
        sleep 0.2
    done
    echo "$most" >"$E2E_WORK/threads-$1"
}
for v in "${volumes[@]}"; do
    sample_threads "$v" "${daemon[$v]}" "$deadline" &
    worker_pids+=($!)
done

# Every worker ends by itself soon after the deadline; one that does not is
# stuck in the mount.
for p in "${worker_pids[@]}"; do
    for _ in $(seq $(((deadline - EPOCHSECONDS + 120) * 10))); do
        kill -0 "$p" 2>/dev/null || break
        sleep 0.1
    done
done
stuck=0
for p in "${worker_pids[@]}"; do kill -0 "$p" 2>/dev/null && stuck=$((stuck + 1)); done
if [ "$stuck" -gt 0 ]; then
    fail "$stuck worker(s) still running two minutes after the deadline (a deadlock?)"
    stop_workers
    for v in "${volumes[@]}"; do fusermount -u -z "$E2E_WORK/mnt-$v" 2>/dev/null; done
fi
for v in "${volumes[@]}"; do
    wait "${python_pids[$v]}" || fail "$v: the threaded reader: $(tail -12 "$E2E_WORK/python-$v")"
    echo "$v threads: $(tail -1 "$E2E_WORK/python-$v")"
done
for v in "${volumes[@]}"; do
    most=$(cat "$E2E_WORK/threads-$v" 2>/dev/null)
    echo "$v: at most ${most:-?} threads in the daemon"
    # The main thread and a ThreadSanitizer thread aside, at least two
    # serving requests.
    [ "${most:-0}" -ge 4 ] || fail "$v: the daemon never served requests on several threads"
done
for v in "${volumes[@]}"; do stop_daemon "$v" "$E2E_WORK/mnt-$v"; done

while IFS= read -r line; do fail "$line"; done < <(head -30 "$problems")
if [ -s "$problems" ] && [ -s "$E2E_WORK/worker-errors" ]; then
    echo "what the tools said (first lines):"
    head -20 "$E2E_WORK/worker-errors"
fi
# Each kind of worker must have done its work, the slowest at least once per
# volume.
for kind in same random walk xattrs dd; do
    runs=$(awk -v k="$kind" '$1 == k {n++; s += $2; if ($2 == 0) zero++} END {print n + 0, s + 0, zero + 0}' "$counts")
    read -r n total zero <<<"$runs"
    per_volume=2
    case $kind in walk | xattrs) per_volume=1 ;; esac
    [ "$n" -eq $((${#volumes[@]} * per_volume)) ] && [ "$zero" -eq 0 ] ||
        fail "$kind workers: $n ended, $zero without a single round"
    echo "$kind: $total rounds"
done
echo "took $((SECONDS - started))s"
finish "the threaded mounts answered as the single-threaded one did, under load"
