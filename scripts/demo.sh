#!/usr/bin/env bash
# Shows VELLORT at work on a sandbox: installs what is missing, builds, sets up
# a throw-away folder with a configuration, a RAM disk (a small tmpfs when run
# as root) and storage targets, starts the daemon with VELLORT_ROOT pointing at
# the folder, announces a few files on the pipe, shows what happened, then stops
# the daemon and removes the folder.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target vellort >/dev/null

sandbox=$(mktemp -d /tmp/vellort-demo-XXXXXX)
daemon_pid=
cleanup() {
    if [[ -n "$daemon_pid" ]]; then kill "$daemon_pid" 2>/dev/null || true; fi
    if mountpoint -q "$sandbox/ramdisk" 2>/dev/null; then umount -l "$sandbox/ramdisk"; fi
    rm -rf "$sandbox"
}
trap cleanup EXIT

mkdir -p "$sandbox"/{etc,var/run,var/log,ramdisk,internal,external,optional}
if [[ $(id -u) -eq 0 ]] && mount -t tmpfs -o size=16m tmpfs "$sandbox/ramdisk" 2>/dev/null; then
    echo "RAM disk: a 16 MiB tmpfs at $sandbox/ramdisk"
else
    echo "RAM disk: a plain folder at $sandbox/ramdisk (not root: no tmpfs)"
fi

cat >"$sandbox/etc/vellort_quorvin.conf" <<CONF
# VELLORT sandbox configuration
logfile $sandbox/var/log/vellort.log
logfile_max_size 10M
history_max_entries 5
fillstate_limit 80
ramdisk_mountpoint $sandbox/ramdisk
message_port 47298
status_port 47299

storageID internal
type INTERNAL
target $sandbox/internal
n_copy_processes 2
mountpoint $sandbox

storageID external
type EXTERNAL
target $sandbox/external
n_copy_processes 2

storageID optional
type OPTIONAL
target $sandbox/optional
n_copy_processes 1
CONF

echo
echo "== starting: VELLORT_ROOT=$sandbox build/vellort"
VELLORT_ROOT="$sandbox" build/vellort
for _ in $(seq 100); do [[ -s "$sandbox/var/run/vellort_quorvin.pid" ]] && break; sleep 0.05; done
daemon_pid=$(cat "$sandbox/var/run/vellort_quorvin.pid")
echo "daemon running with pid $daemon_pid"
ls -l "$sandbox/var/run"

pipe="$sandbox/var/run/vellort_quorvin_files"
# Writing to a pipe blocks until the daemon reads it; a bounded wait keeps the
# demo from hanging if it does not.
announce() {
    echo "  announce: ${1/$sandbox/<sandbox>}"
    timeout 5 bash -c 'echo "$1" >"$2"' _ "$1" "$pipe" || echo "  (nobody reads the pipe)"
}
echo
echo "== acquisition: writing and announcing files"
mkdir -p "$sandbox/ramdisk/data/run1"
for i in 1 2 3; do
    file=$(printf "%s/ramdisk/data/run1/img_%05d.cbf" "$sandbox" "$i")
    head -c 4096 /dev/urandom >"$file"
    announce "${file/\/data\//\/data\/.\/}"
done
announce "usershift: 1001 1002"
sleep 1

echo
echo "== log ($sandbox/var/log/vellort.log)"
cat "$sandbox/var/log/vellort.log"

echo
echo "== targets"
find "$sandbox/internal" "$sandbox/external" "$sandbox/optional" -type f | sed "s|$sandbox|<sandbox>|" || true
echo
echo "== stopping the daemon (pid $daemon_pid)"
