#!/usr/bin/env bash
# Shows VELLORT at work, start to end, in about half a minute:
#   - installs what is missing (scripts/setup.sh) and builds the daemon and its
#     two clients;
#   - sets up a sandbox under one temporary folder: a RAM disk and an internal
#     disk (small tmpfs mounts when run as root, plain folders otherwise), the
#     targets of an INTERNAL, an EXTERNAL and an OPTIONAL storage, and a
#     configuration on unusual ports, so that a real daemon is not disturbed;
#   - starts the daemon with VELLORT_ROOT pointing at the sandbox and
#     vellort-messages in the background;
#   - plays an acquisition: runs of numbered files written to the RAM disk and
#     announced on the pipe, a user shift, and a file announced but never
#     written; the RAM disk passes fillstate_limit, so older files there are
#     replaced by links to their copies;
#   - shows the copies, the links, the status history, the messages and the
#     key log lines, checks that every file reached every storage, stops the
#     daemon and removes the sandbox.
# Exits non-zero when a copy is missing.
#
# Environment:
#   VELLORT_DEMO_QUICK=1         fewer, smaller pauses (the test suite uses it)
#   VELLORT_DEMO_BUILD_DIR=DIR   use the programs already built in DIR: no set-up, no build
#   VELLORT_DEMO_MESSAGE_PORT, VELLORT_DEMO_STATUS_PORT   ports (47298, 47299)
set -euo pipefail
cd "$(dirname "$0")/.."

quick=${VELLORT_DEMO_QUICK:-0}
message_port=${VELLORT_DEMO_MESSAGE_PORT:-47298}
status_port=${VELLORT_DEMO_STATUS_PORT:-47299}

if [[ -n "${VELLORT_DEMO_BUILD_DIR:-}" ]]; then
    build=$VELLORT_DEMO_BUILD_DIR
else
    bash scripts/setup.sh
    build=build
    echo "== building the daemon and its clients in $build/"
    cmake -S . -B "$build" >/dev/null
    cmake --build "$build" -j"$(nproc)" --target vellort vellort-status vellort-messages >/dev/null
fi
build=$(cd "$build" && pwd)

# A fixed size per run keeps the fill states the same on every machine: each run
# of 7.5 MiB passes the limit of 20 % of the 32 MiB RAM disk on its own, and all
# three runs fit even without links (70 %), whatever the link thread does.
if [[ $quick == 1 ]]; then
    files_per_run=10 kib_per_file=768 pause=0.02
else
    files_per_run=20 kib_per_file=384 pause=0.15
fi
fillstate_limit=20

for port in "$message_port" "$status_port"; do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
        echo "demo: port $port is in use; choose others with VELLORT_DEMO_MESSAGE_PORT / VELLORT_DEMO_STATUS_PORT" >&2
        exit 1
    fi
done

sandbox=$(mktemp -d /tmp/vellort-demo-XXXXXX)
ramdisk=$sandbox/ramdisk
disk=$sandbox/disk
daemon_pid=
messages_pid=

cleanup() {
    local status=$?
    set +e
    if [[ -n "$messages_pid" ]]; then kill "$messages_pid" 2>/dev/null; wait "$messages_pid" 2>/dev/null; fi
    if [[ -n "$daemon_pid" ]] && kill "$daemon_pid" 2>/dev/null; then
        # SIGTERM stops the daemon once the steps under way are done (at most
        # 10 s). Wait for it before unmounting, as a copy in flight holds files open there.
        for _ in $(seq 240); do kill -0 "$daemon_pid" 2>/dev/null || break; sleep 0.05; done
    fi
    for mount in "$ramdisk" "$disk"; do
        if mountpoint -q "$mount" 2>/dev/null; then umount "$mount" 2>/dev/null || umount -l "$mount"; fi
    done
    rm -rf "$sandbox"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Shows paths relative to the sandbox.
short() { sed "s|$sandbox|<sandbox>|g"; }

mkdir -p "$sandbox"/{etc,var/run,var/log,external,optional} "$ramdisk" "$disk"
echo "== sandbox: $sandbox"
if [[ $(id -u) -eq 0 ]] && mount -t tmpfs -o size=32m tmpfs "$ramdisk" 2>/dev/null &&
    mount -t tmpfs -o size=128m tmpfs "$disk" 2>/dev/null; then
    echo "RAM disk: a 32 MiB tmpfs; internal disk: a 128 MiB tmpfs"
else
    echo "RAM disk and internal disk: plain folders (tmpfs mounts need root); their fill state is that of"
    echo "  $(df -P "$sandbox" | awk 'NR==2 {print $6 " (" $5 " used)"}'), so links appear only when it is above ${fillstate_limit} %"
fi
mkdir -p "$disk/internal"

cat >"$sandbox/etc/vellort_quorvin.conf" <<CONF
# VELLORT demo configuration
logfile $sandbox/var/log/vellort.log
logfile_max_size 10M
history_max_entries 5
fillstate_limit $fillstate_limit
ramdisk_mountpoint $ramdisk
message_port $message_port
status_port $status_port
create_links yes
journal $sandbox/var/lib/vellort/journal.sqlite

storageID internal
type INTERNAL
target $disk/internal
n_copy_processes 2
mountpoint $disk

storageID external
type EXTERNAL
target $sandbox/external
n_copy_processes 2

storageID optional
type OPTIONAL
target $sandbox/optional
n_copy_processes 1
CONF
log=$sandbox/var/log/vellort.log
pipe=$sandbox/var/run/vellort_quorvin_files

echo
echo "== starting: VELLORT_ROOT=<sandbox> vellort"
VELLORT_ROOT="$sandbox" "$build/vellort"
for _ in $(seq 100); do [[ -s "$sandbox/var/run/vellort_quorvin.pid" ]] && break; sleep 0.05; done
daemon_pid=$(cat "$sandbox/var/run/vellort_quorvin.pid" 2>/dev/null || true)
if [[ -z "$daemon_pid" ]] || ! kill -0 "$daemon_pid" 2>/dev/null; then
    echo "demo: the daemon did not start; its log:" >&2
    cat "$log" >&2 || true
    exit 1
fi
for _ in $(seq 100); do [[ -p "$pipe" ]] && break; sleep 0.05; done
echo "daemon running with pid $daemon_pid; pipe, pid file and log:"
ls -l "$sandbox/var/run" "$sandbox/var/log" | short

"$build/vellort-messages" --port "$message_port" >"$sandbox/messages.txt" 2>"$sandbox/messages.err" &
messages_pid=$!
# The service sends a client only what comes after its connection was accepted.
for _ in $(seq 200); do grep -q "Accepted connection" "$log" 2>/dev/null && break; sleep 0.05; done
echo "vellort-messages listening on port $message_port (pid $messages_pid)"

# Writing to the pipe blocks until the daemon reads it; the bound keeps the demo
# from hanging when it does not.
announce() {
    if ! timeout 5 bash -c 'printf "%s\n" "$1" >"$2"' _ "$1" "$pipe"; then
        echo "demo: nobody reads the pipe; is the daemon still running?" >&2
        exit 1
    fi
}

manifest=$sandbox/manifest.txt  # checksum and relative path of every file written
: >"$manifest"
write_run() {
    local run=$1 i name
    mkdir -p "$ramdisk/data/$run"
    for ((i = 1; i <= files_per_run; i++)); do
        name=$(printf "%s/img_%05d.cbf" "$run" "$i")
        head -c $((kib_per_file * 1024)) /dev/urandom >"$ramdisk/data/$name"
        (cd "$ramdisk/data" && md5sum "$name") >>"$manifest"
        announce "$ramdisk/data/./$name"
        sleep "$pause"
    done
    echo "  $run: $files_per_run files of $kib_per_file KiB written and announced; RAM disk $(df -P "$ramdisk" | awk 'NR==2 {print $5}') full"
}

echo
echo "== acquisition"
announce "usershift: 1001 1001"
echo "  user shift to uid 1001"
write_run run1
write_run run2
announce "usershift: 1002 1002"
echo "  user shift to uid 1002: the files of uid 1001 leave the RAM disk and the internal disk"
write_run run3
missing=$(printf "run3/img_%05d.cbf" $((files_per_run + 1)))
announce "$ramdisk/data/./$missing"
echo "  $missing announced but never written"

# Counts per shift and storage from the status service: "uid storage pending copied failed".
history_counts() {
    "$build/vellort-status" --port "$status_port" --xml | sed 's/<usertime/\n&/g' | while IFS= read -r shift; do
        [[ $shift =~ uid=\"([0-9]+)\" ]] || continue
        grep -o '<storage id="[^"]*" pending="[0-9-]*" copied="[0-9-]*" failed="[0-9-]*"' <<<"$shift" |
            sed -E "s/<storage id=\"([^\"]*)\" pending=\"([0-9-]*)\" copied=\"([0-9-]*)\" failed=\"([0-9-]*)\"/${BASH_REMATCH[1]} \1 \2 \3 \4/"
    done
}
# Every storage has settled once it has copied both runs of uid 1001 and the
# last run of uid 1002, and has given up on the missing file.
settled() {
    local counts
    counts=$(history_counts) || return 1
    [[ $(grep -c "^1001 [^ ]* 0 $((2 * files_per_run)) 0$" <<<"$counts") == 3 &&
        $(grep -c "^1002 [^ ]* 0 $files_per_run 1$" <<<"$counts") == 3 ]]
}
echo
echo "== waiting for the storages to finish"
deadline=$((SECONDS + 60))
until settled; do
    if ((SECONDS > deadline)); then
        echo "  still not settled after 60 s"
        break
    fi
    sleep 0.5
done
# The link thread looks at the fill state once a second: give it its turn.
sleep 2

list_tree() {
    local dir=$1 count
    count=$(find "$dir" -type f | wc -l)
    echo "$(short <<<"$dir"): $count"
    find "$dir" -type f -printf '    %P\n' | sort | head -n 4
    if ((count > 4)); then echo "    ... and $((count - 4)) more"; fi
}

echo
echo "== copies in each target (regular files)"
list_tree "$disk/internal"
list_tree "$sandbox/external"
list_tree "$sandbox/optional"
echo
echo "== links on the RAM disk (find -type l), each pointing at its INTERNAL copy"
links=$(find "$ramdisk" -type l | wc -l)
find "$ramdisk" -type l -printf '    %P -> %l\n' | sort | short | head -n 5
if ((links == 0)); then
    echo "    none: the RAM disk stayed below fillstate_limit, or the daemon removed them with their users' files"
else
    echo "    $links links in all"
fi
echo "still on the RAM disk as regular files: $(find "$ramdisk" -type f | wc -l)"
internal_links=$(find "$disk/internal" -type l | wc -l)
if ((internal_links > 0)); then
    echo "links on the internal disk (INTERNAL copies replaced by links to EXTERNAL copies): $internal_links"
fi

echo
echo "== status history (vellort-status)"
"$build/vellort-status" --port "$status_port"

echo
echo "== the journal: each storage's steps (sqlite3 -readonly <sandbox>/var/lib/vellort/journal.sqlite)"
sqlite3 -readonly -separator ' ' "$sandbox/var/lib/vellort/journal.sqlite" \
    "SELECT '    ' || s.name || ':', count(*),
            CASE p.state WHEN 0 THEN 'pending' WHEN 1 THEN 'retrying' WHEN 2 THEN 'copied' WHEN 3 THEN 'failed'
                         WHEN 4 THEN 'linked' WHEN 5 THEN 'removed' WHEN 6 THEN 'deleted' ELSE 'kept' END
     FROM steps p JOIN storages s ON s.id = p.storage GROUP BY s.id, p.state ORDER BY s.id, p.state" ||
    echo "    (sqlite3 could not read it)"

echo
echo "== messages received (vellort-messages)"
if [[ -s "$sandbox/messages.txt" ]]; then
    # Many messages of one kind say the same thing: a count per code, then the
    # first few of each.
    echo "    $(awk '{ print $4 }' "$sandbox/messages.txt" | sort | uniq -c | awk '{ printf "%s%s x %s", sep, $1, $2; sep = ", " }')"
    awk '++seen[$4] <= 3' "$sandbox/messages.txt" | short | sed 's/^/    /'
else
    echo "    none"
fi

echo
echo "== key log lines ($(wc -l <"$log") lines in all: grep '++ ', Error, Warning, summaries)"
awk '/^Usershift/ { getline next_line; $0 = $0 next_line } 1' "$log" |
    { grep -E '^\+\+ (VELLORT|STORAGE|Accepted|Converting|Removing)|^\+\+ .*[Ll]ink|^Usershift|^Removing files' || true; } | short |
    uniq -c | awk '{ n = $1; sub(/^ *[0-9]+ /, ""); print "    " (n > 1 ? "(" n "x) " : "") $0 }'
for kind in Error Warning; do
    count=$(grep -c "$kind" "$log" || true)
    echo "    $count lines with $kind$( ((count == 0)) || echo ', the first ones:')"
    { grep "$kind" "$log" || true; } | short | head -n 4 | sed 's/^/      /'
done
for storage in internal external optional; do
    echo "    $storage: $(grep "^$storage: [0-9]* files successfully copied" "$log" | awk '{ n += $2; jobs++ } END { print n + 0 " files copied in " jobs + 0 " copy jobs" }')"
done
echo "    the last copy summaries:"
{ grep '^Copied files' "$log" || true; } | tail -n 3 | sed 's/^/      /'

echo
echo "== check"
problems=0
# Every written file must have reached the EXTERNAL and OPTIONAL targets intact;
# the INTERNAL copies of uid 1001 are removed on the user shift, by design, so
# only those of the last run must be there (a link to the EXTERNAL copy counts).
for target in "$sandbox/external" "$sandbox/optional"; do
    if ! (cd "$target" && md5sum --quiet -c "$manifest" >/dev/null 2>&1); then
        echo "  missing or different in $(short <<<"$target"):"
        (cd "$target" && md5sum --quiet -c "$manifest" 2>&1 | short | head -n 5) || true
        problems=$((problems + 1))
    fi
done
if ! (cd "$disk/internal" && grep ' run3/' "$manifest" | md5sum --quiet -c - >/dev/null 2>&1); then
    echo "  run3 missing or different in <sandbox>/disk/internal"
    problems=$((problems + 1))
fi
if ! settled; then
    echo "  the status history does not show every file copied:"
    history_counts | sed 's/^/    /'
    problems=$((problems + 1))
fi
if ! grep -q "COPY_ERROR.*${missing}" "$sandbox/messages.txt"; then
    echo "  vellort-messages did not report the missing file"
    problems=$((problems + 1))
fi
written=$(wc -l <"$manifest")
if ((problems > 0)); then
    echo "Check FAILED: $problems problem(s) above"
    exit 1
fi
echo "Check passed: all $written files copied to internal, external and optional; the missing file failed in each storage"
echo
echo "== stopping the daemon (pid $daemon_pid) and removing the sandbox"
