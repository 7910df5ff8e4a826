#!/usr/bin/env bash
# Installs the build into a temporary prefix, builds a consumer program through
# find_package(VelDataClient) and another through pkg-config, compiles each
# installed header on its own, and lets both consumers talk to a real server.
#   run-consumer-test.sh <build-dir> <bin-dir>
set -euo pipefail
build=$1
bin=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/consumer.XXXXXX")
server_pid=""
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libVelDataClient.so' | head -n 1)")

for header in "$prefix"/include/VelDataClient/*.h; do
    echo "#include \"$(basename "$header")\"" |
        c++ -std=c++17 -fPIC -fsyntax-only -x c++ - -I"$prefix/include/VelDataClient" \
            $(pkg-config --cflags Qt5Core)
done
echo "each installed header compiles on its own"

cmake -S "$here" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
echo "find_package(VelDataClient) consumer built"

export PKG_CONFIG_PATH=$libdir/pkgconfig
c++ -std=c++17 -fPIC "$here/consumer.cpp" -o "$work/consumer-pc" $(pkg-config --cflags --libs VelDataClient)
echo "pkg-config consumer built"

# A real server on a free port, found through the consumers' own config folder.
mkdir -p "$work/xdg/Haltra" "$work/data"
"$bin/VelDataServer" --port 0 --in-memory --data-dir "$work/data" >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
port=""
for _ in $(seq 1 100); do
    port=$(sed -n 's/^listening on port \([0-9]*\)$/\1/p' "$work/server.out")
    [ -n "$port" ] && break
    kill -0 "$server_pid" 2>/dev/null || { cat "$work/server.err"; exit 1; }
    sleep 0.1
done
[ -n "$port" ] || { echo "server did not start"; exit 1; }
printf '[Settings]\nserverPort=%s\nstartServerOnRequest=0\n' "$port" >"$work/xdg/Haltra/VelDataServer.conf"

export XDG_CONFIG_DIRS=$work/xdg
"$work/cmake-build/consumer"
# No LD_LIBRARY_PATH: the pkg-config flags carry the library's runpath.
env -u LD_LIBRARY_PATH "$work/consumer-pc"
