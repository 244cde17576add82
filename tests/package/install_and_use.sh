#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the build into a temporary prefix and uses it as a host project would, after
# the prefix has moved: the installed kvprobe and kvmonitor start, examples/host builds
# through find_package(KvDevice) and runs against simulated boards, examples/sentences
# builds with the README's pkg-config line; every version the package states is the
# project's.
#   install_and_use.sh BUILD_DIR SOURCE_DIR KVBOARD_SIM CXX_COMPILER PROJECT_VERSION
set -euo pipefail
build=$1 source=$2 sim=$3 cxx=$4 version=$5
work=$(mktemp -d)
trap 'kill "${SIM_PID:-}" 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$work/installed" >/dev/null
lib=$(find "$work/installed" -name "libkvdevice.so.$version")
[ -n "$lib" ] || fail "no libkvdevice.so.$version installed"
soname=libkvdevice.so.$(cut -d. -f1-2 <<<"$version")
[ "${version%%.*}" = 0 ] || soname=libkvdevice.so.${version%%.*}
objdump -p "$lib" | grep -q "SONAME *$soname\$" || fail "SONAME of $lib is not $soname"
[ -f "$work/installed/lib/udev/rules.d/70-kvdevice.rules" ] || fail "udev rule not installed"
mv "$work/installed" "$work/prefix" # relocatable: found where it was moved to
cmake -S "$source/examples/host" -B "$work/host" -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null \
    && cmake --build "$work/host" >/dev/null || fail "examples/host does not build against the package"

header=$(sed -n 's/^#define KVDEVICE_VERSION_STRING "\(.*\)"$/\1/p' "$work/prefix/include/kvdevice/version.h")
[ "$header" = "$version" ] || fail "version.h says $header, the project $version"
grep -qF "set(PACKAGE_VERSION \"$version\")" "$(find "$work/prefix" -name KvDeviceConfigVersion.cmake)" \
    || fail "the CMake package's version is not $version"
[ "$("$work/prefix/bin/kvprobe" --version)" = "kvprobe $version" ] || fail "the installed kvprobe does not start"
# kvmonitor where Qt Widgets was found; it reads --version before it needs a display.
[ ! -e "$work/prefix/bin/kvmonitor" ] || [ "$("$work/prefix/bin/kvmonitor" --version)" = "kvmonitor $version" ] \
    || fail "the installed kvmonitor does not start"

export PKG_CONFIG_PATH=$(dirname "$(find "$work/prefix" -name kvdevice.pc)")
[ "$(pkg-config --modversion kvdevice)" = "$version" ] || fail "kvdevice.pc's version is not $version"
# shellcheck disable=SC2046
"$cxx" -std=c++17 "$source/examples/sentences/main.cpp" -o "$work/sentences" $(pkg-config --cflags --libs kvdevice) \
    -Wl,-rpath,"$(pkg-config --variable=libdir kvdevice)" || fail "the pkg-config line does not build examples/sentences"
"$work/sentences" | grep -qF 'version query:       $PKVVER*0c' || fail "examples/sentences does not run"

coproc SIM { exec "$sim" --board board6100028 --board board6100027 --board info; }
ports=()
for _ in 1 2 3; do
    read -r -t 10 -u "${SIM[0]}" _ path _ || fail "kvboard-sim did not start"
    ports+=("$path")
done
out=$(timeout 30 "$work/host/kvhost" "${ports[@]}") || fail "kvhost failed: $out"
for expected in "found Board6100028 on ${ports[0]}" "found Board6100027 on ${ports[1]}" "found InfoDevice on ${ports[2]}" \
                "Board6100028 says: hwversion=HW2-6100028" "InfoDevice says: appmode="; do
    grep -qF "$expected" <<<"$out" || fail "kvhost did not print '$expected': $out"
done

# The watching host: a board plugged into a folder of links, unplugged, and plugged back.
mkdir "$work/links"
"$sim" --board "board6100028:link=$work/links/b,plug=300,unplug=500" >/dev/null &
plugged=$!
"$sim" --board "board6100028:link=$work/links/b,plug=1200,unplug=300" >/dev/null &
replugged=$!
out=$(timeout 30 "$work/host/kvwatch" 2 "$work/links") || fail "kvwatch failed: $out"
kill "$plugged" "$replugged"
for expected in "attached Board6100028 on $work/links/b (port:$work/links/b, visit 1)" "detached Board6100028 from $work/links/b" \
                "attached Board6100028 on $work/links/b (port:$work/links/b, visit 2)"; do
    grep -qF "$expected" <<<"$out" || fail "kvwatch did not print '$expected': $out"
done

echo PASS
