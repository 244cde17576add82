#!/usr/bin/env bash
# Developer entry point: installs what the build needs, builds, tests, demonstrates.
#   scripts/dev.sh demo   install, build, find the simulated boards
#   scripts/dev.sh test   install, build, run every test
#   scripts/dev.sh deps | build | bench
# KVDEVICE_QT_MAJOR=6 builds against Qt 6; KVDEVICE_BUILD_DIR picks the build folder.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
qt_major=${KVDEVICE_QT_MAJOR:-5}
build_dir=${KVDEVICE_BUILD_DIR:-$root/build$([ "$qt_major" = 5 ] || echo "-qt$qt_major")}
jobs=$(nproc 2>/dev/null || echo 2)

say() { printf '\033[1m== %s\033[0m\n' "$*"; }

# Installs the Debian packages that are not installed yet.
need() {
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    say "installing ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

deps() {
    local pkgs=(cmake make g++ pkg-config)
    if [ "$qt_major" = 6 ]; then
        pkgs+=(qt6-base-dev qt6-serialport-dev)
    else
        pkgs+=(qtbase5-dev libqt5serialport5-dev)
    fi
    need "${pkgs[@]}" "$@"
}

configure() {
    cmake -S "$root" -B "$build_dir" -DKVDEVICE_QT_MAJOR="$qt_major" "$@" >/dev/null
}

build() {
    say "building in $build_dir"
    configure "$@"
    cmake --build "$build_dir" -j "$jobs"
}

run_tests() {
    say "testing"
    (cd "$build_dir" && ctest --output-on-failure -j "$jobs")
}

# Plays three boards and a silent port on pseudo-terminals and lets kvprobe find them.
demo() {
    local sim="$build_dir/tools/kvboard-sim" probe="$build_dir/tools/kvprobe"
    if [ ! -x "$sim" ] || [ ! -x "$probe" ]; then
        # A build folder configured with KVDEVICE_BUILD_TOOLS=OFF has no tools yet.
        say "building the tools"
        configure -DKVDEVICE_BUILD_TOOLS=ON
        cmake --build "$build_dir" -j "$jobs" --target kvprobe kvboard-sim
    fi
    say "kvboard-sim: one board of each type and a silent port"
    coproc SIM { exec "$sim" --board board6100028 --board board6100027 --board info --board silent; }
    demo_sim_pid=$SIM_PID
    # The simulator serves until it is told to stop: stop it however the demo ends.
    trap 'kill "$demo_sim_pid" 2>/dev/null || true; wait "$demo_sim_pid" 2>/dev/null || true' EXIT
    trap 'exit 130' INT TERM

    local ports=() type path
    for _ in 1 2 3 4; do
        if ! read -r -t 10 -u "${SIM[0]}" type path; then
            echo "kvboard-sim did not start" >&2
            return 1
        fi
        echo "  $type on $path"
        ports+=(--port "$path")
    done

    say "kvprobe --details ${ports[*]}"
    local status=0
    "$probe" --details "${ports[@]}" || status=$?
    if [ "$status" -eq 0 ]; then
        say "all three boards found"
    else
        say "kvprobe ended with status $status: not every board was found"
    fi
    return "$status"
}

bench() {
    need libbenchmark-dev
    local dir=$root/build-bench$([ "$qt_major" = 5 ] || echo "-qt$qt_major")
    say "building in $dir"
    cmake -S "$root" -B "$dir" -DKVDEVICE_QT_MAJOR="$qt_major" -DCMAKE_BUILD_TYPE=Release \
        -DKVDEVICE_BUILD_BENCHMARKS=ON -DKVDEVICE_BUILD_TOOLS=ON -DBUILD_TESTING=OFF \
        -DKVDEVICE_SANITIZE= -DKVDEVICE_FUZZ=OFF >/dev/null
    cmake --build "$dir" -j "$jobs" --target bench_engine bench_communicator bench_memory bench_throughput bench_discovery

    local b=$dir/bench results=$dir/bench/results.txt status=0
    : >"$results"
    run_bench() {
        say "$1"
        shift
        "$@" >>"$results" || { echo "$* FAILED" >&2; status=1; }
    }
    local gb=(--benchmark_min_time=0.1 --benchmark_repetitions=5 --benchmark_report_aggregates_only=true)
    run_bench "sentence engine" "$b/bench_engine" "${gb[@]}"
    run_bench "communicator on an in-memory device" "$b/bench_communicator" "${gb[@]}"
    run_bench "discovery, /run/lock on $(stat -f -c %T /run/lock)" "$b/bench_discovery"
    if [ "$(stat -f -c %T /run/lock)" != tmpfs ]; then
        local sudo=()
        [ "$(id -u)" -eq 0 ] || sudo=(sudo -n)
        if "${sudo[@]}" unshare -m true 2>/dev/null; then
            run_bench "discovery, /run/lock on a private tmpfs" "${sudo[@]}" unshare -m \
                sh -c 'mount -t tmpfs tmpfs /run/lock && exec "$0"' "$b/bench_discovery"
        else
            say "discovery on a private tmpfs skipped: needs root (unshare -m)"
        fi
    fi
    run_bench "receive throughput over a pty" "$b/bench_throughput"
    run_bench "memory over ten million payloads" "$b/bench_memory"

    say "results ($results)"
    awk '
        function show(v) { return (v >= 1000 || v <= -1000) ? sprintf("%.0f", v) : sprintf("%.3g", v) }
        BEGIN { printf "%-48s %12s %-4s %8s  %s\n", "metric", "value", "unit", "goal", "met?" }
        NF >= 3 {
            goal = (NF >= 4) ? $4 : "-"; met = "-"
            if (goal ~ /^</) { met = ($2 + 0 < substr(goal, 2) + 0) ? "yes" : "NO"; goals++ }
            if (goal ~ /^>/) { met = ($2 + 0 > substr(goal, 2) + 0) ? "yes" : "NO"; goals++ }
            if (met == "yes") hit++
            printf "%-48s %12s %-4s %8s  %s\n", $1, show($2), $3, goal, met
        }
        END { printf "%d of %d goals met\n", hit, goals }' "$results"
    return "$status"
}

cmd=${1:-}
[ $# -gt 0 ] && shift
case "$cmd" in
    deps) deps ;;
    build) deps; build ;;
    test) deps; build; run_tests ;;
    demo) deps; build; demo ;;
    bench) deps; bench ;;
    *) echo "usage: scripts/dev.sh demo|test|deps|build|bench" >&2; exit 2 ;;
esac
