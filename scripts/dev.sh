#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Developer entry point: installs what the build needs, builds, tests, demonstrates.
#   scripts/dev.sh demo             install, build the library and tools, find simulated boards
#   scripts/dev.sh test             install, build, run every test
#   scripts/dev.sh deps             install the Debian packages the build and tests need
#   scripts/dev.sh build            install, build everything
#   scripts/dev.sh docs             the API reference (Doxygen) in BUILD/docs/html; any warning fails
#   scripts/dev.sh bench            benchmarks with their goals (BENCHMARKS.md)
#   scripts/dev.sh sanitize         the tests under ASan/UBSan/LSan, the fuzz targets over their seeds
#   scripts/dev.sh fuzz [SECONDS]   fuzz targets under ASan/UBSan, SECONDS each (60)
#   scripts/dev.sh memcheck         every test executable under valgrind memcheck
#   scripts/dev.sh windows          cross-build for Windows (MinGW-w64, Qt from shared/windows beside
#                                   the clone) and run the suites, kvprobe on simulated boards
#                                   through COM ports and served by ser2net, and the zip package
#                                   under wine
#   scripts/dev.sh screenshot       kvmonitor under Xvfb on simulated boards and a recording: docs/kvmonitor.png
#   scripts/dev.sh sessions         record the corpus of tests/data/sessions again from kvboard-sim's boards
#   scripts/dev.sh help             this text
# KVDEVICE_QT_MAJOR=6 builds against Qt 6; KVDEVICE_BUILD_DIR picks the build folder;
# KVDEVICE_WERROR=ON turns compiler warnings into errors (CI does).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
qt_major=${KVDEVICE_QT_MAJOR:-5}
build_dir=${KVDEVICE_BUILD_DIR:-$root/build$([ "$qt_major" = 5 ] || echo "-qt$qt_major")}
jobs=$(nproc 2>/dev/null || echo 2)

say() {
    if [ -t 1 ]; then printf '\033[1m== %s\033[0m\n' "$*"; else printf '== %s\n' "$*"; fi
}

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
    # libudev for the watcher's udev source; umockdev emulates USB serial ports for the
    # tests of the default (enumerating) run and of the watcher.
    # valgrind runs the lifetime suite, which must see what Qt itself writes; ser2net
    # serves boards for the tests of remote ports.
    local pkgs=(cmake make g++ pkg-config libudev-dev umockdev libumockdev-dev valgrind ser2net)
    if [ "$qt_major" = 6 ]; then
        pkgs+=(qt6-base-dev qt6-serialport-dev)
    else
        pkgs+=(qtbase5-dev libqt5serialport5-dev)
    fi
    need "${pkgs[@]}" "$@"
}

configure() {
    cmake -S "$root" -B "$build_dir" -DKVDEVICE_QT_MAJOR="$qt_major" -DKVDEVICE_WERROR="${KVDEVICE_WERROR:-OFF}" "$@" >/dev/null
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

# Plays three boards and a silent port on pseudo-terminals and lets kvprobe find them,
# then lets kvprobe --watch see a board plugged in and unplugged. Builds what it runs:
# the library and the tools.
demo() {
    local sim="$build_dir/tools/kvboard-sim" probe="$build_dir/tools/kvprobe"
    say "building the library and the tools in $build_dir"
    configure -DKVDEVICE_BUILD_TOOLS=ON
    cmake --build "$build_dir" -j "$jobs" --target kvprobe kvboard-sim
    say "kvboard-sim: one board of each type and a silent port"
    coproc SIM { exec "$sim" --board board6100028 --board board6100027 --board info --board silent; }
    demo_sim_pid=$SIM_PID
    # The simulator serves until it is told to stop: stop it however the demo ends.
    trap 'kill "$demo_sim_pid" 2>/dev/null || true; wait "$demo_sim_pid" 2>/dev/null || true' EXIT
    trap 'exit 130' INT TERM

    local ports=() type path
    for _ in 1 2 3 4; do
        if ! read -r -t 10 -u "${SIM[0]}" type path _; then
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
        return "$status"
    fi

    # Hot-plug: a board whose link appears in a folder after half a second and goes a
    # second later; kvprobe watches the folder and is stopped with SIGINT, as Ctrl-C does.
    demo_links=$(mktemp -d)
    trap 'kill "$demo_sim_pid" "$demo_plug_pid" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$demo_links"' EXIT
    say "kvboard-sim: a board plugged in after 0.5 s and unplugged 1 s later; kvprobe --watch --port-dir $demo_links"
    "$sim" --board "board6100028:link=$demo_links/board,plug=500,unplug=1000" >/dev/null &
    demo_plug_pid=$!
    timeout -s INT --preserve-status 2.5 "$probe" --watch --port-dir "$demo_links" || status=$?
    if [ "$status" -eq 0 ]; then
        say "watched a board come and go"
    else
        say "kvprobe --watch ended with status $status"
    fi
    return "$status"
}

# The README's picture of kvmonitor: first a customer's board recorded by kvprobe (a
# board6100027 that kvboard-sim plays in a scratch folder); then three boards and a silent
# port played in a folder (board6100027 plugged 1.5 s after the others), kvmonitor watching
# it under Xvfb with the recording opened beside them, asking board6100028 for its version,
# then saving its own window (QWidget::grab(), so no screen-capture tool is needed) to
# docs/kvmonitor.png.
screenshot() {
    need xvfb xauth
    local sim="$build_dir/tools/kvboard-sim" monitor="$build_dir/tools/kvmonitor" probe="$build_dir/tools/kvprobe" png=$root/docs/kvmonitor.png
    say "building kvmonitor, kvprobe and kvboard-sim in $build_dir"
    configure -DKVDEVICE_BUILD_TOOLS=ON
    cmake --build "$build_dir" -j "$jobs" --target kvmonitor kvprobe kvboard-sim
    shot_links=$(mktemp -d /tmp/boards.XXXX)
    shot_site=$(mktemp -d /tmp/site.XXXX)
    trap 'rm -rf "$shot_links" "$shot_site"' EXIT
    (
        cd "$shot_site"
        coproc SITE_SIM { exec "$sim" --board "board6100027:hwversion=HW3-6100027,v1=4,link=customer-board,chatter=150"; }
        read -r -t 10 -u "${SITE_SIM[0]}" _ || { echo "kvboard-sim did not start" >&2; exit 1; }
        "$probe" --port customer-board --type board6100027 --details --record customer-board.jsonl >/dev/null
        kill "$SITE_SIM_PID"
    )
    coproc SHOT_SIM { exec "$sim" --board "board6100028:link=$shot_links/board28" --board "info:name=KV1,link=$shot_links/info" \
        --board "silent:link=$shot_links/silent" --board "board6100027:link=$shot_links/board27,plug=1500"; }
    shot_sim_pid=$SHOT_SIM_PID
    trap 'kill "$shot_sim_pid" 2>/dev/null || true; wait "$shot_sim_pid" 2>/dev/null || true; rm -rf "$shot_links" "$shot_site"' EXIT
    trap 'exit 130' INT TERM
    # The boards present at the start are there once the simulator has named them.
    for _ in 1 2 3; do
        read -r -t 10 -u "${SHOT_SIM[0]}" _ || { echo "kvboard-sim did not start" >&2; return 1; }
    done
    say "kvmonitor --port-dir $shot_links --open customer-board.jsonl under Xvfb"
    # Long enough for the late board, the silent port's second attempt and the request.
    xvfb-run -a -s "-screen 0 1280x800x24" "$monitor" --port-dir "$shot_links" --retries 1 --timeout 300 \
        --open "$shot_site/customer-board.jsonl" --demo-request board6100028 --screenshot "$png" --after 3500
    say "wrote $png"
}

# The corpus of recorded sessions that tst_recording replays: for each case, kvboard-sim's
# boards linked in a scratch folder under the names kvprobe is given, and kvprobe run there
# with --record; NAME.jsonl is the recording (its header holds the arguments), NAME.chk
# what kvprobe printed, which the replay must print again (times aside).
sessions() {
    local sim="$build_dir/tools/kvboard-sim" probe="$build_dir/tools/kvprobe" out=$root/tests/data/sessions
    say "building kvprobe and kvboard-sim in $build_dir"
    configure -DKVDEVICE_BUILD_TOOLS=ON
    cmake --build "$build_dir" -j "$jobs" --target kvprobe kvboard-sim
    mkdir -p "$out"
    local cases=(
        "three-boards|board6100028:link=b28 board6100027:link=b27 info:name=KV1,link=info|--port b28 --port b27 --port info --details --json"
        "slow|board6100028:delay=600,link=board|--port board --details --json"
        "chatty|board6100028:chatter=5,link=board silent:link=quiet|--port board --port quiet --retries 0 --timeout 300 --details --json"
        "bad-checksum|board6100028:badsum,link=board|--port board --retries 1 --json"
        "unplug-mid-answer|board6100028:close,link=board|--port board --json"
        "silent|silent:link=quiet|--port quiet --retries 1 --timeout 200 --json"
    )
    local entry name boards args board dir sim_args
    for entry in "${cases[@]}"; do
        IFS='|' read -r name boards args <<<"$entry"
        dir=$(mktemp -d)
        sim_args=()
        for board in $boards; do sim_args+=(--board "$board"); done
        (
            cd "$dir"
            coproc SESSION_SIM { exec "$sim" "${sim_args[@]}"; }
            for board in $boards; do read -r -t 10 -u "${SESSION_SIM[0]}" _; done
            # shellcheck disable=SC2086
            "$probe" $args --record "$name.jsonl" >"$out/$name.chk" || true
            kill "$SESSION_SIM_PID"
            wait "$SESSION_SIM_PID" 2>/dev/null || true
            mv "$name.jsonl" "$out/"
        )
        rm -rf "$dir"
        echo "  $name: $(wc -l <"$out/$name.jsonl") records"
    done
    say "recorded the corpus in $out"
}

# The API reference from the public headers, with docs/mainpage.md; an undocumented public
# name or a broken reference fails.
docs() {
    need doxygen
    configure
    cmake --build "$build_dir" --target docs
    say "API reference: $build_dir/docs/html/index.html"
}

# Benchmarks with goals (BENCHMARKS.md), built Release in build-bench. Each program prints
# result lines "NAME VALUE UNIT [GOAL]" on stdout and its details on stderr; discovery runs
# as the system is and, when /run/lock is not a tmpfs and we are root, once more in a
# private mount namespace with a tmpfs there. Ends with one table; fails only when a
# program fails, not when a goal is missed.
bench() {
    need libbenchmark-dev
    local dir=$root/build-bench$([ "$qt_major" = 5 ] || echo "-qt$qt_major")
    say "building in $dir"
    cmake -S "$root" -B "$dir" -DKVDEVICE_QT_MAJOR="$qt_major" -DCMAKE_BUILD_TYPE=Release \
        -DKVDEVICE_BUILD_BENCHMARKS=ON -DKVDEVICE_BUILD_TOOLS=ON -DBUILD_TESTING=OFF \
        -DKVDEVICE_SANITIZE= -DKVDEVICE_FUZZ=OFF >/dev/null
    cmake --build "$dir" -j "$jobs" --target bench_engine bench_communicator bench_memory bench_throughput bench_discovery bench_watcher \
        bench_request bench_remote

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
    run_bench "requests against bare writes over a pty; 1000 requests in flight" "$b/bench_request"
    run_bench "requests and opening over ser2net (raw TCP, RFC 2217) beside a local pty" "$b/bench_remote"
    run_bench "watcher on the simulator's links: 1000 plug/unplug cycles, idle cost" "$b/bench_watcher" --only sim
    run_bench "watcher: silent ports asked again for two minutes (1, then 16); a busy port let go" "$b/bench_watcher" --only reprobe
    run_bench "watcher soak: 600 replugs of slow, chatty, jumpy and returning boards, a host asking each" "$b/bench_watcher" --only soak
    run_bench "watcher on emulated USB ports through udev's events" env LD_PRELOAD=libumockdev-preload.so.0 "$b/bench_watcher" --only usb
    run_bench "watcher: a storm of 32 emulated USB boards" env LD_PRELOAD=libumockdev-preload.so.0 "$b/bench_watcher" --only storm

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

# The test suite under AddressSanitizer (with LeakSanitizer) and UndefinedBehaviorSanitizer,
# then the fuzz targets over their seed corpus; any report fails. Remote ports go through the
# library's own TCP stream here (the one Windows builds without Qt Network use), so the suites
# against ser2net check it under the sanitizers too; the other builds use Qt Network.
sanitize() {
    local suffix
    suffix=$([ "$qt_major" = 5 ] || echo "-qt$qt_major")
    local dir=$root/build-asan$suffix fuzz_dir=$root/build-fuzz$suffix
    say "building with sanitizers in $dir"
    cmake -S "$root" -B "$dir" -DKVDEVICE_QT_MAJOR="$qt_major" -DKVDEVICE_WERROR="${KVDEVICE_WERROR:-OFF}" -DKVDEVICE_SANITIZE=address,undefined \
        -DKVDEVICE_QT_NETWORK=OFF -DKVDEVICE_BUILD_TOOLS=OFF >/dev/null
    cmake --build "$dir" -j "$jobs"
    say "testing with sanitizers"
    (cd "$dir" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --output-on-failure -j "$jobs")

    need clang-14 libclang-rt-14-dev
    say "fuzz targets over their seeds in $fuzz_dir"
    CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$fuzz_dir" -DKVDEVICE_QT_MAJOR="$qt_major" -DKVDEVICE_WERROR="${KVDEVICE_WERROR:-OFF}" \
        -DKVDEVICE_FUZZ=ON -DKVDEVICE_SANITIZE=address,undefined -DKVDEVICE_BUILD_TOOLS=OFF >/dev/null
    cmake --build "$fuzz_dir" -j "$jobs" --target fuzz_sentence fuzz_receive
    (cd "$fuzz_dir" && ctest -L fuzz --output-on-failure)
}

# libFuzzer targets under AddressSanitizer and UndefinedBehaviorSanitizer, built with clang
# in build-fuzz; each runs SECONDS (default 60) on a scratch copy of its seed corpus, so
# nothing is written into the tree. Crash inputs land in build-fuzz/fuzz/artifacts/.
fuzz() {
    local seconds=${1:-60}
    # libFuzzer reads 0 as "no limit".
    if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
        echo "fuzz: SECONDS must be a positive number, not '$seconds'" >&2
        return 2
    fi
    need clang-14 libclang-rt-14-dev
    local dir=$root/build-fuzz$([ "$qt_major" = 5 ] || echo "-qt$qt_major")
    say "building the fuzz targets in $dir"
    CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$dir" -DKVDEVICE_QT_MAJOR="$qt_major" \
        -DKVDEVICE_FUZZ=ON -DKVDEVICE_SANITIZE=address,undefined -DKVDEVICE_BUILD_TOOLS=OFF >/dev/null
    cmake --build "$dir" -j "$jobs" --target fuzz_sentence fuzz_receive

    local work status=0 target max_len log execs
    work=$(mktemp -d)
    mkdir -p "$dir/fuzz/artifacts"
    for target in sentence receive; do
        max_len=256
        [ "$target" = receive ] && max_len=4096
        mkdir -p "$work/$target"
        cp "$root/fuzz/corpus/$target/"* "$work/$target/"
        log=$dir/fuzz/fuzz_$target.log
        say "fuzz_$target for ${seconds}s (log: $log)"
        if ! "$dir/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -max_len="$max_len" \
            -dict="$root/fuzz/nmea.dict" -print_final_stats=1 -artifact_prefix="$dir/fuzz/artifacts/" \
            "$work/$target" >"$log" 2>&1; then
            tail -n 40 "$log"
            echo "fuzz_$target FAILED; the input is in $dir/fuzz/artifacts/" >&2
            status=1
        fi
        execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        echo "fuzz_$target: ${execs:-?} executions, corpus $(find "$work/$target" -type f | wc -l) inputs" \
             "(from $(find "$root/fuzz/corpus/$target" -type f | wc -l) seeds)"
    done
    rm -rf "$work"
    return "$status"
}

# Every test executable under valgrind memcheck, in build-vg (no sanitizers); fails on
# any memcheck error or definite leak.
memcheck() {
    need valgrind
    local dir=$root/build-vg$([ "$qt_major" = 5 ] || echo "-qt$qt_major")
    say "building in $dir"
    cmake -S "$root" -B "$dir" -DKVDEVICE_QT_MAJOR="$qt_major" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKVDEVICE_SANITIZE= -DKVDEVICE_FUZZ=OFF -DKVDEVICE_BUILD_TOOLS=OFF >/dev/null
    cmake --build "$dir" -j "$jobs"

    local logs=$dir/valgrind status=0 functions=0 executables=0 errors=0 lost=0 test name rc totals
    local suppressions=()
    [ -f "$root/tests/valgrind.supp" ] && suppressions=(--suppressions="$root/tests/valgrind.supp")
    mkdir -p "$logs"
    for test in "$dir"/tests/tst_*; do
        [ -f "$test" ] && [ -x "$test" ] || continue
        name=$(basename "$test")
        say "memcheck $name"
        rc=0
        # Valgrind runs everything 20-50 times slower: lift Qt Test's per-function limit.
        QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES= QTEST_FUNCTION_TIMEOUT=3600000 \
            timeout 3600 valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
            --errors-for-leak-kinds=definite --error-exitcode=9 --num-callers=40 \
            "${suppressions[@]}" --log-file="$logs/$name.log" \
            "$test" >"$logs/$name.out" 2>&1 || rc=$?
        totals=$(grep -h '^Totals:' "$logs/$name.out" | tail -n 1)
        echo "  $name: ${totals:-no totals} | $(grep -h 'ERROR SUMMARY' "$logs/$name.log" | sed 's/^==[0-9]*== //') | exit $rc"
        functions=$((functions + $(echo "$totals" | awk '{print $2 + $4 + $6}')))
        errors=$((errors + $(sed -n 's/.*ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' "$logs/$name.log" | awk '{s+=$1} END {print s+0}')))
        # The last leak summary is the one at exit (the tests may ask for quick ones before).
        lost=$((lost + $(sed -n 's/.*definitely lost: \([0-9,]*\) bytes.*/\1/p' "$logs/$name.log" | tail -n 1 | tr -d , | awk '{s+=$1} END {print s+0}')))
        executables=$((executables + 1))
        if [ "$rc" -ne 0 ]; then
            status=1
            grep -h -A 30 -E 'definitely lost in|Invalid |uninitialised|FAIL!' "$logs/$name.log" "$logs/$name.out" | head -n 60 || true
        fi
    done
    say "memcheck: $functions test functions (with data rows) in $executables executables," \
        "$errors errors, $lost bytes definitely lost; logs in $logs"
    return "$status"
}

# The Windows build: MinGW-w64 against the Qt for Windows in shared/windows beside the
# clone (unpacked into build-windows, since shared/ may be read-only), warnings as errors.
# Under wine: the suites, those that need boards too (kvboard-sim plays them on the Linux
# side, built in the Linux build folder, each a COM port of wine's), kvprobe on boards
# served by ser2net on 127.0.0.1 (RFC 2217 and raw TCP, busy, nothing listening) and through
# COM ports (identification, a silent port, a board that needs DTR, --details, --ask,
# --monitor, unplugs, --watch on a folder, Ctrl-C), then the zip package in a fresh
# prefix and examples/host built against it. Test programs that read COM ports carry the
# test support for wine (tests/wine/): wine 8.0 reads no pty mapped as a COM port without it.
windows() {
    need cmake make g++-mingw-w64-x86-64-posix wine64 python3
    local dir=$root/build-windows
    local name=qt-5.15.13-mingw64.tar.xz archive=${KVDEVICE_WINDOWS_QT:-} place
    # shared/ beside the clone, or one folder up (a clone in a folder of its own).
    for place in "$root/.." "$root/../.."; do
        [ -n "$archive" ] || [ ! -f "$place/shared/windows/$name" ] || archive=$place/shared/windows/$name
    done
    if [ ! -f "$archive" ]; then
        echo "windows: $name not found in shared/windows beside the clone or one folder up; set KVDEVICE_WINDOWS_QT to its path" >&2
        return 1
    fi
    local qt=$dir/qt-5.15.13-mingw64 wine=/usr/lib/wine/wine64 wineserver=/usr/lib/wine/wineserver
    local sim=$build_dir/tools/kvboard-sim modemlines=$build_dir/tests/libkvwinemodem.so
    local toolchain=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_PREFIX_PATH="$qt")
    say "building kvboard-sim and the modem-line library for wine in $build_dir"
    configure
    cmake --build "$build_dir" -j "$jobs" --target kvboard-sim kvwinemodem
    mkdir -p "$dir"
    [ -d "$qt" ] || { say "unpacking $(basename "$archive")"; tar -xJf "$archive" -C "$dir"; }
    say "building for Windows in $dir"
    cmake -S "$root" -B "$dir" "${toolchain[@]}" -DCMAKE_BUILD_TYPE=Release -DKVDEVICE_WERROR=ON -DKVDEVICE_BUILD_TOOLS=ON \
        -DBUILD_TESTING=ON -DKVDEVICE_WINE_LINUX_BUILD="$build_dir" -DKVDEVICE_WINE_PREFIX="$dir/wineprefix" >/dev/null
    cmake --build "$dir" -j "$jobs"

    # A fresh prefix per run, its server started on its own: the first program of a prefix
    # starts wine's services, which would otherwise keep that program's pipes open.
    windows_path() { printf 'Z:%s' "${1//\//\\}"; }
    start_wine() {
        rm -rf "$WINEPREFIX"
        mkdir -p "$WINEPREFIX" # the server starts only in a prefix that exists
        setsid "$wineserver" -p </dev/null >/dev/null 2>&1 &
        "$wine" wineboot </dev/null >/dev/null 2>&1
    }
    export WINEPREFIX=$dir/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEQT_FORCE_STDERR_LOGGING=1
    export WINEPATH="$(windows_path "$qt/bin");$(windows_path "$dir/src")"
    windows_pids=() # the simulators, stopped however the step ends
    trap "kill \"\${windows_pids[@]}\" 2>/dev/null || true; '$wineserver' -k 2>/dev/null || true" EXIT
    start_wine

    say "testing under wine"
    (cd "$dir" && ctest --output-on-failure -j "$jobs")
    local out status
    fail() { echo "FAIL: $*" >&2; exit 1; }
    # Every program under wine is bounded: a stuck one is killed.
    run() { timeout -s KILL 30 "$wine" "$@"; }
    out=$(run "$dir/examples/sentences/kv-sentences.exe")
    grep -qF 'version query:       $PKVVER*0c' <<<"$out" || fail "kv-sentences: $out"
    local probe=(run "$dir/tools/kvprobe.exe") version
    version=$(sed -n 's/^project(KvDevice VERSION \([^ ]*\).*/\1/p' "$root/CMakeLists.txt")
    [ "$("${probe[@]}" --version | tr -d '\r')" = "kvprobe $version" ] || fail "kvprobe --version"
    out=$("${probe[@]}" --help)
    grep -q 'kvboard-sim.*exists on Linux only' <<<"$out" && grep -qF '"port":"COM3"' <<<"$out" && ! grep -qE '/dev/|--udev' <<<"$out" \
        || fail "kvprobe --help is not Windows': $out"
    status=0
    out=$("${probe[@]}" --port COM9 --retries 0 --json) || status=$?
    [ "$status" -eq 1 ] && [ "$(grep -c '"event":"port"' <<<"$out")" -eq 1 ] && grep -q '"outcome":"not_found","port":"COM9"' <<<"$out" \
        && tail -n 1 <<<"$out" | grep -q '"event":"done"' || fail "kvprobe --port COM9 (status $status): $out"
    echo "kvprobe.exe: --version, --help, a name that is no port: as expected"

    # Boards on other machines: ser2net on the Linux side serves two boards on 127.0.0.1, one
    # over RFC 2217, one over raw TCP; kvprobe.exe reaches them through the library's own TCP
    # stream on Winsock (this Qt has no Qt Network), by address and by name, and is told
    # Busy while another client has a board and NotFound where nothing listens.
    local remote=$dir/remote rfc raw free url holder times=()
    rm -rf "$remote"
    mkdir -p "$remote"
    read -r rfc raw free < <(python3 -c 'import socket
s = [socket.socket() for _ in range(3)]
for x in s: x.bind(("127.0.0.1", 0))
print(*(x.getsockname()[1] for x in s))')
    "$sim" --board "board6100028:link=$remote/rfc" --board "board6100028:link=$remote/raw" >/dev/null &
    windows_pids+=($!)
    cat >"$remote/ser2net.yaml" <<EOF
connection: &rfc2217
  accepter: telnet(rfc2217),tcp,127.0.0.1,$rfc
  connector: serialdev,$remote/rfc,115200n81,local
  options:
    chardelay: false
    max-connections: 1
connection: &socket
  accepter: tcp,127.0.0.1,$raw
  connector: serialdev,$remote/raw,115200n81,local
  options:
    chardelay: false
    max-connections: 1
EOF
    "$(command -v ser2net || echo /usr/sbin/ser2net)" -n -u -c "$remote/ser2net.yaml" -P "$remote/pid" >"$remote/ser2net.out" 2>&1 &
    windows_pids+=($!)
    listening() { grep -q "0100007F:$(printf '%04X' "$1") 00000000:0000 0A" /proc/net/tcp; }
    for _ in $(seq 200); do
        listening "$rfc" && listening "$raw" && [ -L "$remote/rfc" ] && [ -L "$remote/raw" ] && break
        sleep 0.05
    done
    listening "$rfc" && listening "$raw" || fail "ser2net does not listen: $(cat "$remote/ser2net.out")"
    for url in "rfc2217://127.0.0.1:$rfc" "socket://127.0.0.1:$raw" "rfc2217://localhost:$rfc"; do
        out=$("${probe[@]}" --port "$url" --type board6100028 --retries 0 --details | tr -d '\r') || fail "kvprobe.exe --port $url: $out"
        grep -qx "found Board6100028 $url" <<<"$out" && grep -qx "details Board6100028 $url hwversion=HW2-6100028 v1=3 v2=2 v3=3" <<<"$out" \
            || fail "kvprobe.exe --port $url: $out"
        times+=("$(sed -n 's/^done: .*, \([0-9]*\) ms$/\1/p' <<<"$out")")
    done
    echo "identified over RFC 2217, raw TCP and RFC 2217 to localhost, each run in ${times[*]} ms"
    exec {holder}<>"/dev/tcp/127.0.0.1/$rfc" # another client has the board
    out=$("${probe[@]}" --port "rfc2217://127.0.0.1:$rfc" --type board6100028 --retries 0 | tr -d '\r') || true
    exec {holder}>&-
    grep -qxF "port rfc2217://127.0.0.1:$rfc busy: the server lets no second client in: \"Port already in use\"; another client has the board: close it, or let the server hand it over (ser2net: kickolduser)" <<<"$out" \
        || fail "kvprobe.exe on a board that another client has: $out"
    status=0
    out=$("${probe[@]}" --port "socket://127.0.0.1:$free" --type board6100028 --retries 0 --json) || status=$?
    [ "$status" -eq 1 ] && grep -qF "\"detail\":\"nothing listens on 127.0.0.1:$free (connection refused)\",\"elapsed_ms\":" <<<"$out" \
        && grep -qF "\"outcome\":\"not_found\",\"port\":\"socket://127.0.0.1:$free\"" <<<"$out" || fail "kvprobe.exe where nothing listens (status $status): $out"
    echo "kvprobe.exe on boards served by ser2net: identified, busy while another client has one, not found where nothing listens"

    # Boards on the Linux side, each a COM port of the prefix: COM5-COM8 three boards and a
    # silent port, COM10 a board that sends nothing until DTR is raised, COM11 one that is
    # unplugged 1.5 s after it appeared, COM12 one with an answer waiting that is unplugged
    # after 1 s, and a board plugged into a folder after 1 s and unplugged 1 s later.
    local dos=$WINEPREFIX/dosdevices links=$dir/boards
    rm -rf "$links"
    mkdir -p "$links"
    "$sim" --board "board6100028:link=$dos/com5" --board "board6100027:link=$dos/com6" --board "info:name=KV1,link=$dos/com7" \
        --board "silent:link=$dos/com8" --board "board6100028:link=$dos/com10" >/dev/null &
    windows_pids+=($!)
    until [ -L "$dos/com10" ]; do sleep 0.05; done
    local wineprobe=(run "$dir/tests/kvprobe-wine.exe")
    boards() { LD_PRELOAD=$modemlines "$@"; }
    out=$(boards "${wineprobe[@]}" --port COM5 --port COM6 --port COM7 --port COM8 --retries 0 --json) || true
    for expected in '"event":"found","port":"COM5","type":"Board6100028"' '"event":"found","port":"COM6","type":"Board6100027"' \
                    '"event":"found","port":"COM7","type":"InfoDevice"' '"outcome":"no_answer","port":"COM8"' '"event":"done","found":3,"not_found":0'; do
        grep -qF "$expected" <<<"$out" || fail "kvprobe on COM5-COM8: no $expected in: $out"
    done
    echo "identified through COM ports in $(sed -n 's/.*"elapsed_ms":\([0-9]*\),"event":"port","outcome":"identified".*/\1/p' <<<"$out" | tr '\n' ' ')ms; a silent port reported"
    out=$(KVTEST_NEEDS_DTR=$dos/com10 boards "${wineprobe[@]}" --port COM10 --type board6100028 --retries 0) || true
    grep -q 'found Board6100028 COM10' <<<"$out" || fail "a board that needs DTR, DTR raised: $out"
    out=$(KVTEST_NEEDS_DTR=$dos/com10 boards "${wineprobe[@]}" --port COM10 --type board6100028 --retries 0 --no-dtr) || true
    grep -q 'port COM10 no_answer' <<<"$out" || fail "a board that needs DTR, --no-dtr: $out"
    echo "a board that needs DTR: found with DTR raised, silent with --no-dtr"
    out=$(boards "${wineprobe[@]}" --port COM5 --port COM7 --details --retries 0) || true
    grep -q 'details Board6100028 COM5 hwversion=HW2-6100028 v1=3 v2=2 v3=3' <<<"$out" && grep -q 'details InfoDevice COM7 subcommand=INF name=KV1' <<<"$out" \
        || fail "kvprobe --details: $out"
    out=$(boards "${wineprobe[@]}" --ask PKVVER --port COM5 --json) || fail "kvprobe --ask: $out"
    grep -qF '"fields":{"hwversion":"HW2-6100028","v1":3,"v2":2,"v3":3}' <<<"$out" || fail "kvprobe --ask: $out"
    out=$(printf 'PTKVWR,INF\n' | boards "${wineprobe[@]}" --monitor COM7 2>&1) || fail "kvprobe --monitor: $out"
    grep -qF '< $PTKVRD,INF,KV1,' <<<"$out" || fail "kvprobe --monitor: $out"
    WINEQT_FORCE_STDERR_LOGGING= boards "${wineprobe[@]}" --port COM5 --type board6100028 --verbose 2>&1 >/dev/null | grep -q 'Serial port opened for probing' \
        || fail "kvprobe --verbose shows no log of the library"
    echo "kvprobe on COM ports: --details, --ask, --monitor, --verbose"

    # Unplugged: seen by the wait for port events (the test build), and by a write (the
    # shipped kvprobe.exe, whose wait wine 8.0 leaves blocked: only the write meets the unplug).
    "$sim" --board "board6100028:link=$dos/com11,unplug=1500" >/dev/null &
    windows_pids+=($!)
    until [ -L "$dos/com11" ]; do sleep 0.05; done
    status=0
    out=$( (sleep 4; echo PKVVER) | boards "${wineprobe[@]}" --monitor COM11 2>&1) || status=$?
    [ "$status" -eq 1 ] && grep -q 'COM11 is gone' <<<"$out" || fail "--monitor of a board unplugged (status $status): $out"
    "$sim" --board "board6100028:stale,link=$dos/com12,unplug=1000" >/dev/null &
    windows_pids+=($!)
    until [ -L "$dos/com12" ]; do sleep 0.05; done
    status=0
    out=$( (sleep 2; echo PKVVER; sleep 1; echo PKVVER) | boards "${probe[@]}" --monitor COM12 2>&1) || status=$?
    [ "$status" -eq 1 ] && grep -q 'COM12 is gone' <<<"$out" && [ "$(grep -c '^> ' <<<"$out")" -le 1 ] \
        || fail "--monitor writing to a board unplugged (status $status): $out"
    "$sim" --board "info:link=$links/a,plug=1000,unplug=1000" >/dev/null &
    windows_pids+=($!)
    out=$(boards timeout -s KILL 10 timeout -s INT 4 "$wine" "$dir/tests/kvprobe-wine.exe" --watch --json --port-dir "$(windows_path "$links")" < <(sleep 6)) || true
    # The port by its path, with Windows' separators (JSON doubles each backslash).
    grep -qF 'boards\\a","type":"InfoDevice"' <<<"$out" && grep -q '"event":"attached"' <<<"$out" \
        && grep -q '"event":"detached"' <<<"$out" || fail "kvprobe --watch --port-dir: $out"
    echo "unplugs seen by --monitor (reading and writing) and by --watch on a folder"

    # Ctrl-C (wine turns SIGINT into the console's Ctrl-C) in each mode, on the silent port:
    # everything ends at once, a run and --monitor with 130, --watch with 0.
    local mode expected start
    for mode in "130 --port COM8 --timeout 20000" "130 --monitor COM8" "0 --watch --poll 100" "0 --watch --json"; do
        expected=${mode%% *}
        start=$SECONDS
        status=0
        # shellcheck disable=SC2086
        boards timeout -s KILL 10 timeout --preserve-status -s INT 3 "$wine" "$dir/tests/kvprobe-wine.exe" ${mode#* } >"$dir/stopped.out" 2>&1 < <(sleep 6) || status=$?
        [ "$status" -eq "$expected" ] && [ $((SECONDS - start)) -lt 10 ] \
            || fail "kvprobe ${mode#* } after Ctrl-C: status $status, $((SECONDS - start)) s: $(cat "$dir/stopped.out")"
    done
    grep -q '"event":"watching","source":"windows"' "$dir/stopped.out" \
        || fail "kvprobe --watch does not watch Windows' notifications: $(cat "$dir/stopped.out")"
    echo "kvprobe.exe: Ctrl-C ends a run, --monitor, --watch polling and --watch on device notifications"
    kill "${windows_pids[@]}" 2>/dev/null || true
    "$wineserver" -k 2>/dev/null || true

    say "the zip package, unpacked, in a fresh prefix with no WINEPATH; examples/host built against it"
    rm -rf "$dir"/kvdevice-*-win64.zip "$dir/unpacked" "$dir/host"
    (cd "$dir" && cpack >/dev/null)
    python3 -m zipfile -e "$dir/kvdevice-$version-win64.zip" "$dir/unpacked"
    local package=$dir/unpacked/kvdevice-$version-win64
    for file in bin/libkvdevice-0.3.dll lib/libkvdevice.dll.a lib/cmake/KvDevice/KvDeviceConfig.cmake include/kvdevice/kvdevice.h \
                bin/kvprobe.exe bin/Qt5Core.dll bin/Qt5SerialPort.dll bin/libstdc++-6.dll bin/libgcc_s_seh-1.dll bin/libwinpthread-1.dll \
                README.md CHANGELOG.md LICENSE licenses/Qt/LICENSE.LGPL3; do
        [ -f "$package/$file" ] || fail "not in the package: $file"
    done
    [ -z "$(find "$package" -name '*.pc')" ] || fail "kvdevice.pc is in the Windows package"
    ! x86_64-w64-mingw32-objdump -h "$package/bin/libkvdevice-0.3.dll" | grep -q '\.debug' || fail "the DLL has debug sections"
    unset WINEPATH
    export WINEPREFIX=$dir/wineprefix-package
    start_wine
    [ "$(run "$package/bin/kvprobe.exe" --version | tr -d '\r')" = "kvprobe $version" ] || fail "the unpacked kvprobe.exe does not start"
    cmake -S "$root/examples/host" -B "$dir/host" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_PREFIX_PATH="$package;$qt" >/dev/null
    cmake --build "$dir/host" -j "$jobs" >/dev/null || fail "examples/host does not build against the package"
    status=0
    out=$(WINEPATH="$(windows_path "$package/bin")" run "$dir/host/kvhost.exe" COM9 2>&1) || status=$?
    [ "$status" -eq 1 ] && grep -q 'Board6100028' <<<"$out" || fail "kvhost.exe COM9 (status $status): $out"
    [ -f "$dir/host/kvwatch.exe" ] || fail "no kvwatch.exe"
    say "Windows: built, tested under wine with boards on COM ports and served by ser2net, packaged and used"
}

usage() { sed -n '2,/^set -euo/p' "${BASH_SOURCE[0]}" | sed -e '/^set -euo/d' -e 's/^# \{0,1\}//'; }

cmd=${1:-}
[ $# -gt 0 ] && shift
case "$cmd" in
    deps) deps ;;
    build) deps; build ;;
    test) deps; build; run_tests ;;
    demo) deps; demo ;;
    bench) deps; bench ;;
    docs) deps; docs ;;
    sanitize) deps; sanitize ;;
    fuzz) deps; fuzz "$@" ;;
    memcheck) deps; memcheck ;;
    windows) deps; windows ;;
    screenshot) deps; screenshot ;;
    sessions) deps; sessions ;;
    help | -h | --help) usage ;;
    *) usage >&2; exit 2 ;;
esac
