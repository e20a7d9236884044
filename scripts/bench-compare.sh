#!/usr/bin/env bash
# Measures figures of a base revision and of the current work tree in the
# same run, in interleaved rounds, and prints per figure the median of each
# side and the median of the per-round ratios current / base:
#   - the copy rates of the real daemon, 20,000 files of 4 KiB and 4 files of
#     512 MiB, tmpfs to tmpfs, and its delays from announcement to copy, 2,000
#     files one every millisecond, without and with a journal
#     (bench/daemon_copy_bench's cases (a), (b) and (c));
#   - the link and removal pass rates, 20,000 files (bench/link_bench), and
#     the link pass once more with the links given the user's uid and gid, as
#     the daemon does by default (link_bench --preserve-owners yes; a base
#     whose link_bench lacks that option gets it patched into its export).
#
#   bash scripts/bench-compare.sh [--rounds R] [BASE]
#
# BASE      the revision to compare with (default 1b61807).
# --rounds  how many rounds (default 5). In each round both sides run each
#           benchmark once: base first in odd rounds, current first in even.
# Needs root (the benchmarks mount tmpfs). BASE is exported with git archive
# into build-compare/<commit>/src, removed at the end, also on Ctrl-C; the
# builds (Release) stay in build-compare/<commit>/build and
# build-compare/current, the output of every run in build-compare/runs/<date>/.
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=5
base=1b61807
while (($# > 0)); do
    case $1 in
        --rounds)
            if (($# < 2)) || ! [[ $2 =~ ^[1-9][0-9]*$ ]]; then
                echo "bench-compare: --rounds needs a count of at least 1" >&2
                exit 2
            fi
            rounds=$2
            shift
            ;;
        -h | --help)
            sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'
            exit 0
            ;;
        -*)
            echo "bench-compare: unknown option $1 (try --help)" >&2
            exit 2
            ;;
        *) base=$1 ;;
    esac
    shift
done

say() { echo "bench-compare: $*" >&2; }

if [[ $(id -u) -ne 0 ]]; then
    say "needs root: the benchmarks mount tmpfs file systems"
    exit 2
fi

bash scripts/setup.sh

commit=$(git rev-parse --verify --quiet "$base^{commit}") || {
    say "no such revision: $base"
    exit 2
}
short=$(git rev-parse --short "$commit")
current=$(git rev-parse --short HEAD)
if [[ -n $(git status --porcelain --untracked-files=no) ]]; then
    current="$current with local changes"
fi

scratch=build-compare
base_src=$scratch/$commit/src
base_build=$scratch/$commit/build
current_build=$scratch/current
stamp=$(date -u +%Y%m%d-%H%M%S)
out=$scratch/runs/$stamp
mkdir -p "$out"

# --- what an interrupted run leaves behind -------------------------------------
# Each benchmark runs in a mount namespace of its own, so its tmpfs mounts go
# once it and the daemon it started have ended. Neither cleans up when it is
# killed, though: the detached daemon would keep running, and the sandbox
# folders would stay in /tmp.
running=""  # the pid of the timeout that runs the current benchmark
private_mounts=(unshare --mount --propagation private)
if ! "${private_mounts[@]}" true 2>/dev/null; then
    say "unshare --mount does not work here: a killed benchmark may leave tmpfs mounts in /tmp"
    private_mounts=()
fi

our_daemons() {
    local proc exe
    for proc in /proc/[0-9]*; do
        exe=$(readlink "$proc/exe" 2>/dev/null) || continue
        case $exe in "$PWD/$base_build/vellort" | "$PWD/$current_build/vellort") echo "${proc#/proc/}" ;; esac
    done
}

# Ends the benchmark running now, if any, and any daemon started from one of
# the two builds (one that a killed or timed-out benchmark left running).
stop_benchmark() {
    local bench="" pid root
    if [[ -n $running ]]; then
        bench=$(cat "/proc/$running/task/$running/children" 2>/dev/null) || true
        kill -TERM "$running" 2>/dev/null || true
        wait "$running" 2>/dev/null || true
        running=""
    fi
    for pid in $(our_daemons); do
        root=$(tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | sed -n 's/^VELLORT_ROOT=//p') || true
        kill -KILL "$pid" 2>/dev/null || true
        while [[ -e /proc/$pid ]]; do sleep 0.1; done
        if [[ $root == /tmp/daemon_copy_bench-* && -d $root ]]; then
            ((${#private_mounts[@]})) || umount -l "$root/ramdisk" "$root/internal" 2>/dev/null || true
            rm -rf --one-file-system "$root"
        fi
    done
    for pid in $bench; do
        rm -f /tmp/link_bench-"$pid"-*.log
    done
    # The mount points of a killed link_bench, empty once its namespace is gone.
    if [[ -e $out/started ]]; then
        find /tmp -maxdepth 1 -type d -empty \( -name 'link_bench-ram-*' -o -name 'link_bench-copies-*' \) \
            -newer "$out/started" -exec rmdir {} + 2>/dev/null || true
    fi
}

cleanup() {
    trap - EXIT INT TERM
    stop_benchmark
    if [[ -d $base_src ]]; then
        rm -rf "$base_src"
    fi
}
trap cleanup EXIT
trap 'say "interrupted"; cleanup; exit 130' INT TERM

# --- the two Release builds ----------------------------------------------------
targets=(vellort daemon_copy_bench link_bench)
build() {
    local src=$1 dir=$2
    say "building $dir from $src (Release)"
    cmake -S "$src" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DVELLORT_BENCH=ON >"$out/cmake-$3.txt" 2>&1 ||
        { tail -n 30 "$out/cmake-$3.txt" >&2; exit 1; }
    cmake --build "$dir" -j2 --target "${targets[@]}" >"$out/build-$3.txt" 2>&1 ||
        { tail -n 30 "$out/build-$3.txt" >&2; exit 1; }
}

say "exporting $short into $base_src"
rm -rf "$base_src"
mkdir -p "$base_src"
# git archive keeps the commit's time on every file, so a second export does
# not make the kept build compile everything again.
git archive "$commit" | tar -x -C "$base_src"
if ! grep -q -- '--preserve-owners' "$base_src/bench/link_bench.cc"; then
    say "adding --preserve-owners to the base's link_bench"
    perl -0pi -e 's/(std::vector<std::string> logPaths;[^\n]*\n)/$1bool preserveOwners = false;\n/;
                  s/(    params\.create_links = createLinks;\n)/$1    params.preserve_uid = params.preserve_gid = preserveOwners;\n/;
                  s/(        else\n            die\(std::string\("unknown option "\))/        else if (strcmp(argv[i], "--preserve-owners") == 0)\n            preserveOwners = strcmp(argv[i + 1], "yes") == 0;\n$1/' \
        "$base_src/bench/link_bench.cc"
    grep -q 'preserveOwners = strcmp' "$base_src/bench/link_bench.cc" || { say "cannot patch the base's link_bench"; exit 1; }
fi
build "$base_src" "$base_build" base
build . "$current_build" current

# --- the rounds ----------------------------------------------------------------
daemon_args=(--small-files 20000 --small-kb 4 --large-files 4 --large-mb 512 --latency-files 2000 --latency-rounds 1
    --rounds 1 --no-rsync)
link_args=(--files 20000 --rounds 1)
limit=900  # the benchmarks have their own deadlines; this only ends a hung run

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date -u '+%Y-%m-%d %H:%M:%S UTC')
seconds_before=$SECONDS

# run SIDE ROUND NAME ARGS...: one benchmark of one side, its output in $out.
run() {
    local side=$1 round=$2 name=$3
    shift 3
    local dir=$base_build
    [[ $side == current ]] && dir=$current_build
    local file=$out/round$round-$side-$name.txt
    say "round $round: $side $name"
    local status=0
    touch "$out/started"
    timeout --kill-after=30 "$limit" "${private_mounts[@]}" "$dir/bench/${name%-owned}" "$@" >"$file" 2>&1 &
    running=$!
    wait "$running" || status=$?
    running=""
    if ((status != 0)); then
        say "$side $name failed with status $status; the end of $file:"
        tail -n 20 "$file" >&2
        exit 1
    fi
}

# value FILE KEY [NAME]: the figure of the line "RESULT KEY=figure ...", or
# that of its token NAME=figure (cp: cp -a of the same tree).
value() {
    local figure
    figure=$(awk -v key="$2" -v name="${3:-}" '$1 == "RESULT" && index($2, key "=") == 1 {
                 if (name == "") { print substr($2, length(key) + 2); exit }
                 for (i = 3; i <= NF; ++i) if (index($i, name "=") == 1) { print substr($i, length(name) + 2); exit }
             }' "$1")
    [[ -n $figure ]] || { say "no RESULT $2${3:+ $3=} in $1"; exit 1; }
    echo "$figure"
}

figures=(daemon.small.files_per_s daemon.large.MB_per_s daemon.delay.p50_ms daemon.delay.p99_ms
    daemon.journal.delay.p50_ms daemon.journal.delay.p99_ms link.links.files_per_s link.removal.files_per_s
    link.owned.files_per_s)
declare -A per_round  # figure,side -> values, one per round, space separated
cp_rates=""           # cp -a of the same tree, measured in each daemon run
for ((round = 1; round <= rounds; ++round)); do
    if ((round % 2 == 1)); then order=(base current); else order=(current base); fi
    for side in "${order[@]}"; do
        dir=$base_build
        [[ $side == current ]] && dir=$current_build
        run "$side" "$round" daemon_copy_bench "${daemon_args[@]}" --vellort "$PWD/$dir/vellort"
    done
    for side in "${order[@]}"; do
        run "$side" "$round" link_bench "${link_args[@]}"
    done
    for side in "${order[@]}"; do
        run "$side" "$round" link_bench-owned "${link_args[@]}" --preserve-owners yes
    done
    for side in base current; do
        daemon_file=$out/round$round-$side-daemon_copy_bench.txt
        link_file=$out/round$round-$side-link_bench.txt
        for figure in "${figures[@]}"; do
            if [[ $figure == daemon.* ]]; then
                per_round[$figure,$side]+="$(value "$daemon_file" "$figure") "
            fi
        done
        per_round[link.links.files_per_s,$side]+="$(value "$link_file" link.links.files_per_s) "
        per_round[link.removal.files_per_s,$side]+="$(value "$link_file" link.removal.files_per_s) "
        per_round[link.owned.files_per_s,$side]+="$(value "$out/round$round-$side-link_bench-owned.txt" link.links.files_per_s) "
        cp_rates+="$side:$(value "$daemon_file" daemon.small.files_per_s cp) "
    done
done
took=$((SECONDS - seconds_before))
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# --- the table -----------------------------------------------------------------
median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END {
    if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratios() { paste -d' ' <(tr ' ' '\n' <<<"$2" | grep .) <(tr ' ' '\n' <<<"$1" | grep .) |
    awk '{ printf "%.3f ", $1 / $2 }'; }
number() { awk -v x="$1" 'BEGIN { if (x < 100) printf "%.3g", x; else printf "%.0f", x }'; }

echo
echo "VELLORT, base $short against current $current, $rounds round$( ((rounds == 1)) || echo s), $started"
echo "Machine: $(nproc) cores, kernel $(uname -r); load average (1, 5, 15 min) $load_before at the start, $load_after at the end"
echo "Rounds took ${took} s (builds not counted)"
echo
row() { printf '| %-27s | %12s | %12s | %23s |\n' "$@"; }
row Figure "base" "current" "current / base (median)"
echo "|$(printf -- '-%.0s' {1..29})|$(printf -- '-%.0s' {1..13}):|$(printf -- '-%.0s' {1..13}):|$(printf -- '-%.0s' {1..24}):|"
declare -A label=(
    [daemon.small.files_per_s]="Daemon small files, files/s"
    [daemon.large.MB_per_s]="Daemon large files, MB/s"
    [daemon.delay.p50_ms]="Delay p50, ms"
    [daemon.delay.p99_ms]="Delay p99, ms"
    [daemon.journal.delay.p50_ms]="Delay p50 journal, ms"
    [daemon.journal.delay.p99_ms]="Delay p99 journal, ms"
    [link.links.files_per_s]="Link pass, files/s"
    [link.removal.files_per_s]="Removal pass, files/s"
    [link.owned.files_per_s]="Link pass, owners set, f/s"
)
for figure in "${figures[@]}"; do
    b=${per_round[$figure,base]}
    c=${per_round[$figure,current]}
    row "${label[$figure]}" "$(number "$(median <<<"$b")")" "$(number "$(median <<<"$c")")" \
        "$(awk -v x="$(ratios "$b" "$c" | median)" 'BEGIN { printf "%.3f", x }')"
done
echo "Rates: a ratio below 1 is slower; delays (ms): a ratio above 1 is slower."
echo
echo "Per round (round 1 first; base ran first in odd rounds, current in even ones):"
for figure in "${figures[@]}"; do
    echo "  $figure"
    echo "    base:    ${per_round[$figure,base]}"
    echo "    current: ${per_round[$figure,current]}"
    echo "    ratio:   $(ratios "${per_round[$figure,base]}" "${per_round[$figure,current]}")"
done
echo "  cp -a of the same 20,000 files in each daemon run, files/s"
echo "    base:    $(tr ' ' '\n' <<<"$cp_rates" | sed -n 's/^base://p' | tr '\n' ' ')"
echo "    current: $(tr ' ' '\n' <<<"$cp_rates" | sed -n 's/^current://p' | tr '\n' ' ')"
echo
echo "Runs: daemon_copy_bench ${daemon_args[*]} --vellort <its tree's vellort>; link_bench ${link_args[*]} (also with --preserve-owners yes)"
echo "Full output: $out/"
