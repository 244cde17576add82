#!/bin/sh
# Runs a Windows test program under wine with boards that kvboard-sim plays as the program
# asks: its control port is COM<NUMBER> of the wine prefix, the boards the COM ports after
# it; the modem-line library is preloaded into wine.
#   withboards.sh KVBOARD_SIM MODEMLINES_LIBRARY NUMBER WINE PROGRAM [ARGUMENT...]
set -eu
sim=$1 preload=$2 number=$3 wine=$4
control=${WINEPREFIX:?the wine prefix to run in}/dosdevices/com$number
shift 4
"$sim" --control "$control" >/dev/null &
sim_pid=$!
trap 'kill $sim_pid 2>/dev/null || true' EXIT
tries=0
until [ -L "$control" ]; do
    tries=$((tries + 1))
    [ $tries -le 200 ] || { echo "withboards.sh: kvboard-sim --control did not start" >&2; exit 1; }
    sleep 0.05
done
status=0
KVTEST_BOARDS=COM$number LD_PRELOAD=$preload timeout -s KILL 110 "$wine" "$@" || status=$?
exit $status
