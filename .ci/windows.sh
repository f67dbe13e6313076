#!/usr/bin/env bash
# The Windows job: cross-builds the core, the CLI and the tests with MinGW-w64 and runs the
# tests under Wine, with a COM port that is a pseudo-terminal held by a Linux-side peer.
#
#   .ci/windows.sh
#
# Trees: build/windows (the cross build), build/win-gtest (googletest for MinGW),
# build/win-prefix (the Wine prefix), build/win-peer and build/win-com (the COM peer).
# Environment: QUENDAL_JOBS (parallel jobs, default 2), QUENDAL_WIN_COM (port number, 7).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build
jobs=${QUENDAL_JOBS:-2}
com=${QUENDAL_WIN_COM:-7}

step() { printf '\n== %s\n' "$*"; }
started=$SECONDS

step "Packages"
packages=(cmake ninja-build g++ g++-mingw-w64-x86-64-posix googletest nlohmann-json3-dev wine wine64)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=
  ((EUID == 0)) || sudo=sudo
  $sudo apt-get update
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
else
  echo "all present"
fi

step "googletest for MinGW"
gtest=$build/win-gtest
mkdir -p "$gtest"
cmake -S /usr/src/googletest -B "$gtest/build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$gtest/install" >"$gtest/configure.log"
cmake --build "$gtest/build" -j "$jobs"
cmake --install "$gtest/build" >"$gtest/install.log"

step "Cross build"
cmake --preset windows
cmake --build --preset windows -j "$jobs"

step "COM peer"
peer=$build/win-peer/quendal-com-peer
mkdir -p "$build/win-peer" "$build/win-com"
if [[ ! -x $peer || tests/windows/com_peer.cpp -nt $peer ]]; then
  c++ -std=c++20 -O2 -Wall -Wextra -Werror tests/windows/com_peer.cpp -o "$peer"
fi

# Wine: a persistent server started here, detached, so that neither it nor the services
# that the first program boots hold ctest's output open.
export WINEPREFIX=$build/win-prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installers at prefix creation
wine=$(command -v wine64 || true)
[[ -z $wine && -x /usr/lib/wine/wine64 ]] && wine=/usr/lib/wine/wine64
[[ -z $wine ]] && wine=wine
wineserver=$(command -v wineserver || true)
[[ -z $wineserver ]] && wineserver=/usr/lib/wine/wineserver64

peer_pid=
devsim_pids=()
# shellcheck disable=SC2317  # called by the trap
cleanup() {
  local status=$?
  for pid in $peer_pid "${devsim_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  "$wineserver" -k 2>/dev/null || true
  rm -f "$WINEPREFIX/dosdevices/com$com" "$WINEPREFIX/dosdevices/com$((com + 1))" \
    "$WINEPREFIX/dosdevices/com$((com + 2))"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

step "Wine"
"$wineserver" -k 2>/dev/null || true  # a server left over from an interrupted run
mkdir -p "$WINEPREFIX"                 # the server will not start without it
"$wineserver" -p </dev/null >/dev/null 2>&1 &
"$wine" wineboot </dev/null >"$build/win-com/wineboot.log" 2>&1
"$wine" --version </dev/null 2>/dev/null || true

# The console program starts on a bare Windows: no MinGW DLLs missing, a usable answer.
if ! cli_output=$("$wine" "$build/windows/app/cli/quendal-cli.exe" image </dev/null | tr -d '\r') ||
  ! grep -q "^Name:" <<<"$cli_output"; then
  printf 'quendal-cli.exe image failed:\n%s\n' "$cli_output" >&2
  exit 1
fi
echo "$cli_output"

rm -f "$build/win-com/com$com"
"$peer" "$build/win-com/com$com" </dev/null >"$build/win-com/peer.log" 2>&1 &
peer_pid=$!
for _ in $(seq 50); do
  [[ -L $build/win-com/com$com ]] && break
  sleep 0.1
done
[[ -L $build/win-com/com$com ]] || { echo "the COM peer did not start" >&2; exit 1; }
ln -sfn "$build/win-com/com$com" "$WINEPREFIX/dosdevices/com$com"
export QUENDAL_TEST_COM_PORT=COM$com
echo "COM$com -> $(readlink "$build/win-com/com$com")"

step "Simulated devices"
# The simulator runs on Linux; the updater's loader sequence reaches it under Wine through
# COM ports, as it would reach a real device.
cmake --preset default >/dev/null
cmake --build --preset default --target quendal-devsim quendal-mkimage
native=$build/default
runtime=$build/win-com/run
mkdir -p "$runtime"
chmod 700 "$runtime"
start_devsim() {  # COM number, device, extra options
  local number=$1 device=$2
  shift 2
  XDG_RUNTIME_DIR=$runtime "$native/sim/quendal-devsim" --device "$device" --name "com$number" "$@" \
    </dev/null >"$build/win-com/devsim-com$number.log" 2>&1 &
  devsim_pids+=($!)
  local link=$runtime/quendal/devsim-com$number
  for _ in $(seq 50); do
    [[ -L $link ]] && break
    sleep 0.1
  done
  [[ -L $link ]] || { echo "the simulated $device did not start" >&2; exit 1; }
  ln -sfn "$link" "$WINEPREFIX/dosdevices/com$number"
  echo "COM$number -> simulated $device"
}
start_devsim $((com + 1)) sensor
start_devsim $((com + 2)) readvane
start_devsim $((com + 3)) kcd
rdv_image="$build/win-com/RDV 1.23.txt"
"$native/firmware/quendal-mkimage" --flash 0x2100-0x1FEFF --info 0x1000:192 --seed 7 "$rdv_image"
export QUENDAL_TEST_SENSOR_PORT=COM$((com + 1))
export QUENDAL_TEST_RDV_PORT=COM$((com + 2))
export QUENDAL_TEST_RDV_IMAGE="Z:${rdv_image//\//\\}"

step "Tests under Wine"
set +e
ctest --preset windows 2>&1 | tee "$build/win-com/ctest.log"
status=${PIPESTATUS[0]}
set -e
# The COM port tests skip without a peer; here they must have run.
if grep -E "(Win32[A-Za-z]*|ExternalDevice)\.[A-Za-z]+ .*Skipped" "$build/win-com/ctest.log"; then
  echo "the COM port tests were skipped" >&2
  status=1
fi

step "A full sensor update under Wine"
# The console updater runs the digital-sensor sequence against the simulated comm device and
# its sensor on the Linux side: connect, save, loader through the pass-through, upload,
# self-check and restore.
data_dir=$build/win-com/data
rm -rf "$data_dir"
mkdir -p "$data_dir"
set +e
"$wine" "$build/windows/app/cli/quendal-cli.exe" update --port "COM$((com + 3))" --answer ok \
  --data-dir "Z:${data_dir//\//\\}" </dev/null 2>&1 | tr -d '\r' | tee "$build/win-com/update.log"
update_status=${PIPESTATUS[0]}
set -e
if ((update_status != 0)) || ! grep -q "Successfully updated firmware in" "$build/win-com/update.log"; then
  echo "the update under Wine failed (exit $update_status)" >&2
  status=1
fi

printf '\nWindows job: %s in %d s\n' "$( ((status == 0)) && echo passed || echo FAILED)" \
  $((SECONDS - started))
exit "$status"
