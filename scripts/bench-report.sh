#!/usr/bin/env bash
# Runs every benchmark of VELLORT on a Release build and prints one table of
# their figures, with `cp -a` and `rsync -a` of the same data, timed in the
# same run, and the ratios, together with the machine and the date.
#
#   bash scripts/bench-report.sh [--quick] [--build-dir DIR]
#
# --quick   smaller data and shorter runs (under a minute instead of minutes);
#           the figures are noisier.
# As root on Debian it installs what is missing (the build packages through
# scripts/setup.sh, and rsync), and the benchmarks that mount tmpfs run. As
# another user, those are left out and the rest runs. The full output of each
# benchmark stays in DIR/bench-report/<date>/ (DIR defaults to build-bench).
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
build=build-bench
while (($# > 0)); do
    case $1 in
        --quick) quick=1 ;;
        --build-dir)
            (($# >= 2)) || { echo "bench-report: --build-dir needs a directory" >&2; exit 2; }
            build=$2
            shift
            ;;
        -h | --help)
            sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'
            exit 0
            ;;
        *)
            echo "bench-report: unknown option $1 (try --help)" >&2
            exit 2
            ;;
    esac
    shift
done

say() { echo "bench-report: $*" >&2; }

is_root=0
[[ $(id -u) -eq 0 ]] && is_root=1

# --- what is needed -----------------------------------------------------------
bash scripts/setup.sh
if ! command -v rsync >/dev/null 2>&1; then
    if ((is_root)); then
        say "installing rsync, for the comparison"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq --no-install-recommends rsync >/dev/null
    else
        say "no rsync and not root: the rsync -a comparison is left out"
    fi
fi

# --- the Release build --------------------------------------------------------
benchmarks=(copy_bench daemon_copy_bench pipe_bench link_bench status_bench message_bench events_bench)
say "building $build (Release)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DVELLORT_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target vellort "${benchmarks[@]}" >/dev/null

# --- the runs -------------------------------------------------------------------
if ((quick)); then
    copy_args=(--small-files 5000 --small-kb 4 --large-files 2 --large-mb 128 --rounds 2)
    daemon_args=(--small-files 5000 --small-kb 4 --large-files 2 --large-mb 128 --rounds 2 --latency-files 500)
    pipe_args=(--lines 20000)
    link_args=(--files 5000 --rounds 1)
    status_args=(0.5)
    message_args=(20000 1000)
    events_args=(--quick)
    limit=600
else
    copy_args=(--small-files 20000 --small-kb 4 --large-files 4 --large-mb 512 --rounds 3)
    daemon_args=(--small-files 20000 --small-kb 4 --large-files 4 --large-mb 512 --rounds 3 --latency-files 2000)
    pipe_args=(--lines 100000)
    link_args=(--files 20000 --rounds 3)
    status_args=(3)
    message_args=(200000 5000)
    events_args=()
    limit=1800
fi

stamp=$(date -u +%Y%m%d-%H%M%S)
out=$build/bench-report/$stamp
mkdir -p "$out"
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date -u '+%Y-%m-%d %H:%M UTC')

declare -A outcome  # benchmark -> ok, or why it has no figures
run() {
    local name=$1
    shift
    local needs_root=0
    case $name in copy_bench) ;; daemon_copy_bench | link_bench | events_bench) needs_root=1 ;; esac
    if ((needs_root && !is_root)); then
        outcome[$name]="not run: needs root for its tmpfs mounts"
        say "$name left out (needs root)"
        return
    fi
    say "running $name $* (output in $out/$name.txt)"
    local status=0
    # A benchmark has its own deadlines; this one only keeps a hung run from
    # holding the report for ever.
    timeout --kill-after=30 "$limit" "$build/bench/$name" "$@" >"$out/$name.txt" 2>&1 || status=$?
    if ((status == 0)); then
        outcome[$name]=ok
    elif ((status == 124 || status == 137)); then
        outcome[$name]="timed out after $limit s, see $out/$name.txt"
    else
        outcome[$name]="failed with status $status, see $out/$name.txt"
    fi
}

run copy_bench "${copy_args[@]}"
run daemon_copy_bench "${daemon_args[@]}"
run pipe_bench "${pipe_args[@]}"
run link_bench "${link_args[@]}"
run status_bench "${status_args[@]}"
run message_bench "${message_args[@]}"
run events_bench "${events_args[@]}"
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# --- the figures --------------------------------------------------------------
# Each benchmark ends with lines "RESULT key=value [cp=value] [rsync=value]".
declare -A value cp rsync
while read -r _ first rest; do
    key=${first%%=*}
    value[$key]=${first#*=}
    for token in $rest; do
        case $token in
            cp=*) cp[$key]=${token#cp=} ;;
            rsync=*) rsync[$key]=${token#rsync=} ;;
        esac
    done
done < <(cat "$out"/*.txt | grep '^RESULT ' || true)

# key | benchmark | figure | unit
figures=(
    "copy.small.files_per_s|copy_bench|UTILITIES::copy, small files, 1 thread|files/s"
    "copy.large.MB_per_s|copy_bench|UTILITIES::copy, large files, 1 thread|MB/s"
    "daemon.small.files_per_s|daemon_copy_bench|Daemon end to end, small, 2 workers|files/s"
    "daemon.large.MB_per_s|daemon_copy_bench|Daemon end to end, large, 2 workers|MB/s"
    "daemon.delay.p50_ms|daemon_copy_bench|Announcement to copy, p50|ms"
    "daemon.delay.p99_ms|daemon_copy_bench|Announcement to copy, p99|ms"
    "pipe.lines_per_s|pipe_bench|Pipe reader into 3 storages|lines/s"
    "pipe.bytes_per_file|pipe_bench|Memory per booked file (3 ledgers)|bytes"
    "link.links.files_per_s|link_bench|Link pass (median)|files/s"
    "link.removal.files_per_s|link_bench|Removal pass (median)|files/s"
    "status.1_client.requests_per_s|status_bench|Status history requests, 1 client|requests/s"
    "status.10_clients.requests_per_s|status_bench|Status history requests, 10 clients|requests/s"
    "status.1_client.round_trip_p99_us|status_bench|Status round trip p99, 1 client|us"
    "status.10_clients.round_trip_p99_us|status_bench|Status round trip p99, 10 clients|us"
    "message.1_client.frames_per_s|message_bench|Message frames, 1 client|frames/s"
    "message.10_clients.frames_per_s|message_bench|Message frames, 10 clients (each)|frames/s"
    "message.1_client.delay_p50_us|message_bench|Message delay p50, 1 client|us"
    "message.1_client.delay_p99_us|message_bench|Message delay p99, 1 client|us"
    "message.10_clients.delay_p50_us|message_bench|Message delay p50, 10 clients|us"
    "message.10_clients.delay_p99_us|message_bench|Message delay p99, 10 clients|us"
    "events.rate.on_over_off|events_bench|Copy rate, events on / off (median)|x"
    "events.delay.p50_ms|events_bench|Copy to event at a subscriber, p50|ms"
    "events.delay.p99_ms|events_bench|Copy to event at a subscriber, p99|ms"
    "events.outage.backlog_events|events_bench|Events waiting after a broker outage|events"
    "events.outage.catch_up_s|events_bench|Catch-up after the broker's restart|s"
)

number() {
    awk -v x="$1" 'BEGIN { if (x < 10) printf "%.2f", x; else if (x < 100) printf "%.1f", x; else printf "%.0f", x }'
}
ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "-" }'
}

cpu=$(awk -F': *' '/^model name/ && !name { name = $2 } /^cpu family/ && !family { family = $2 }
                   /^model\t/ && !model { model = $2 }
                   END { printf "%s", name; if (family != "") printf " (family %s, model %s)", family, model }' /proc/cpuinfo)
memory=$(awk '/^MemTotal:/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)
commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
if [[ $commit != unknown && -n $(git status --porcelain --untracked-files=no 2>/dev/null) ]]; then
    commit="$commit with local changes"
fi
# First lines taken from whole outputs: a reader that leaves early would end
# the writer with SIGPIPE, and pipefail with it the script.
first_line() { local text; text=$("$@" 2>/dev/null) || true; echo "${text%%$'\n'*}"; }
rsync_version=$(first_line rsync --version | awk '{ print $3 }')

echo
echo "VELLORT benchmarks, $( ((quick)) && echo quick || echo full) run, $started, commit $commit"
echo "Machine: $(nproc) cores, $memory, kernel $(uname -r), $cpu"
echo "Load average (1, 5, 15 min): $load_before at the start, $load_after at the end"
echo "Compared with: $(first_line cp --version)${rsync_version:+, rsync $rsync_version}"
echo
# A Markdown table, padded so that it also reads well in a terminal.
row() { printf '| %-38s | %18s | %7s | %15s | %8s | %18s |\n' "$@"; }
row Figure VELLORT "cp -a" "VELLORT / cp -a" "rsync -a" "VELLORT / rsync -a"
echo "|$(printf -- '-%.0s' {1..40})|$(printf -- '-%.0s' {1..19}):|$(printf -- '-%.0s' {1..8}):|$(printf -- '-%.0s' {1..16}):|$(printf -- '-%.0s' {1..9}):|$(printf -- '-%.0s' {1..19}):|"
for figure in "${figures[@]}"; do
    IFS='|' read -r key benchmark label unit <<<"$figure"
    if [[ -z ${value[$key]:-} ]]; then
        row "$label" "-" "" "" "" ""
        continue
    fi
    cp_value="" cp_ratio="" rsync_value="" rsync_ratio=""
    if [[ -n ${cp[$key]:-} ]]; then
        cp_value=$(number "${cp[$key]}")
        cp_ratio=$(ratio "${value[$key]}" "${cp[$key]}")
    fi
    if [[ -n ${rsync[$key]:-} ]]; then
        rsync_value=$(number "${rsync[$key]}")
        rsync_ratio=$(ratio "${value[$key]}" "${rsync[$key]}")
    fi
    row "$label" "$(number "${value[$key]}") $unit" "$cp_value" "$cp_ratio" "$rsync_value" "$rsync_ratio"
done
echo
echo "Ratios are rate over rate: above 1, VELLORT is faster. The copies are tmpfs to tmpfs, best of the rounds."
echo "Runs (the options are explained at the top of bench/<name>.cc):"
echo "  copy_bench ${copy_args[*]}"
echo "  daemon_copy_bench ${daemon_args[*]}"
echo "  pipe_bench ${pipe_args[*]}"
echo "  link_bench ${link_args[*]}"
echo "  status_bench ${status_args[*]}   (seconds per run)"
echo "  message_bench ${message_args[*]}   (frames per run, single frames for the delay)"
echo "  events_bench ${events_args[*]:-}   (the outage and the rates: see bench/events_bench.cc)"
grep -h "^NOTE" "$out"/*.txt || true
echo "Full output: $out/"

failed=0
for name in "${benchmarks[@]}"; do
    if [[ ${outcome[$name]:-} != ok ]]; then
        echo "$name: ${outcome[$name]:-no outcome}"
        [[ ${outcome[$name]:-} == "not run: "* ]] || failed=1
    fi
done
exit $failed
