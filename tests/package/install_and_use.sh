#!/usr/bin/env bash
# Installs the build into a temporary prefix and uses it as a host project would:
# examples/host through find_package(KvDevice) (also after the prefix has moved), a
# one-file program through pkg-config, and the host run against simulated boards.
#   install_and_use.sh BUILD_DIR SOURCE_DIR KVBOARD_SIM CXX_COMPILER
set -euo pipefail
build=$1 source=$2 sim=$3 cxx=$4

work=$(mktemp -d)
sim_pid=
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$work/installed" >/dev/null
lib=$(find "$work/installed" -name 'libkvdevice.so.*.*' | head -n 1)
[ -n "$lib" ] || fail "no libkvdevice.so installed"
objdump -p "$lib" | grep -q 'SONAME *libkvdevice.so.0$' || fail "SONAME is not libkvdevice.so.0"
for header in kvdevice.h kvdevice_export.h communicator.h initializer.h parserinit.h; do
    [ -f "$work/installed/include/kvdevice/$header" ] || fail "header $header not installed"
done
[ -f "$work/installed/lib/udev/rules.d/70-kvdevice.rules" ] || fail "udev rule not installed"

# Relocatable: the package is found where it was moved to.
mv "$work/installed" "$work/prefix"
cmake -S "$source/examples/host" -B "$work/host" -DCMAKE_PREFIX_PATH="$work/prefix" \
    -DCMAKE_CXX_COMPILER="$cxx" >/dev/null || fail "examples/host does not configure against the package"
cmake --build "$work/host" >/dev/null || fail "examples/host does not build against the package"

pcdir=$(dirname "$(find "$work/prefix" -name kvdevice.pc | head -n 1)")
cat > "$work/pc.cpp" <<'CPP'
#include <kvdevice/kvdevice.h>
#include <cstdio>
int main()
{
    Nmea::ParserInit parser;
    parser.init();
    KvDevice::SessionInit query;
    query.clear();
    query.sentenceId = 1;
    QString text;
    parser.build(&query, text);
    std::printf("%s", qPrintable(text));
    return 0;
}
CPP
flags=$(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs kvdevice) || fail "pkg-config does not know kvdevice"
# shellcheck disable=SC2086
"$cxx" -std=c++17 -fPIC "$work/pc.cpp" -o "$work/pc" $flags || fail "pkg-config flags do not build a program"
out=$(LD_LIBRARY_PATH=$(dirname "$(find "$work/prefix" -name 'libkvdevice.so' | head -n 1)") "$work/pc")
[ "$out" = $'$PKVVER*0c\r' ] || [ "$out" = $'$PKVVER*0c\r\n' ] || fail "pkg-config program printed '$out'"

# The host against one board of each type.
coproc SIM { exec "$sim" --board board6100028 --board board6100027 --board info; }
sim_pid=$SIM_PID
ports=()
for _ in 1 2 3; do
    read -r -t 10 -u "${SIM[0]}" _ path || fail "kvboard-sim did not start"
    ports+=("$path")
done
out=$(timeout 30 "$work/host/kvhost" "${ports[@]}") || fail "kvhost failed: $out"
echo "$out"
for expected in "found Board6100028 on ${ports[0]}" "found Board6100027 on ${ports[1]}" "found InfoDevice on ${ports[2]}" \
                "Board6100028 says: hwversion=HW2-6100028" "InfoDevice says: appmode="; do
    grep -qF "$expected" <<<"$out" || fail "kvhost did not print '$expected'"
done
echo "PASS"
