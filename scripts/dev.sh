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

demo() {
    "$build_dir/examples/sentences/kv-sentences"
}

bench() {
    need libbenchmark-dev
    build -DKVDEVICE_BUILD_BENCHMARKS=ON
    say "benchmarks"
    for b in "$build_dir"/bench/bench_*; do
        [ -f "$b" ] && [ -x "$b" ] && "$b" --benchmark_min_time=0.3
    done
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
