#!/usr/bin/env bash
# The Windows job: cross-builds the core, the CLI and the tests with MinGW-w64 and runs the
# tests under Wine, with a COM port that is a pseudo-terminal held by a Linux-side peer.
#
#   .ci/windows.sh [--packages-only | --build-only]
#
# The window program and its Qt tests are built against a static Qt for MinGW-w64 and run
# under Wine with the Windows platform on a virtual X display (Xvfb).
#
# Trees: build/windows (the cross build), build/windows-gui (the window's cross build),
# build/win-gtest (googletest for MinGW), build/win-httplib (the header-only HTTP library of
# the web tests), build/win-prefix (the Wine prefix), build/win-peer and build/win-com (the
# COM peer, logs, the window's screenshot).
# Environment: QUENDAL_JOBS (parallel jobs, default 2), QUENDAL_WIN_COM (port number, 7),
# QUENDAL_QT_MINGW (the unpacked Qt; default ${XDG_CACHE_HOME:-~/.cache}/quendal/
# qt6-mingw64-static, filled from ../shared/toolchains/ when that holds the archive),
# QUENDAL_QT_ARCHIVE (the archive, default ../shared/toolchains/qt6.4.2-mingw64-static.tar.xz),
# QUENDAL_BUILD_QT=1 (build that Qt with tools/build-qt-mingw.sh when neither is there: an hour).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build
jobs=${QUENDAL_JOBS:-2}
com=${QUENDAL_WIN_COM:-7}

step() { printf '\n== %s\n' "$*"; }
started=$SECONDS

step "Packages"
packages=(cmake ninja-build g++ g++-mingw-w64-x86-64-posix googletest nlohmann-json3-dev wine wine64
  xvfb x11-utils dpkg-dev wixl)
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
[[ ${1:-} == --packages-only ]] && exit 0

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

step "Qt for MinGW-w64"
# The window part needs the static Qt; building it here would take most of the job's time.
window_started=$SECONDS
qt_status=0
qt=$(tools/qt-mingw/unpack) || qt_status=$?
if ((qt_status == 0)); then
  window=1
elif ((qt_status != 3)); then
  exit 1
else
  window=0
  printf '%s\n' "NO QT FOR MINGW: the window program and its tests are NOT built or run;" \
    "QUENDAL_QT_ARCHIVE names the archive, QUENDAL_BUILD_QT=1 builds Qt (an hour)."
fi

if ((window)); then
  step "The window's cross build"
  httplib=${QUENDAL_HTTPLIB_DIR:-$build/win-httplib}
  if [[ ! -f $httplib/httplib.h ]]; then
    # Debian's cpp-httplib is built for Linux; its source package has the header-only form.
    src=$(tools/debian-source.sh cpp-httplib "$build/win-httplib-src")
    mkdir -p "$httplib"
    cp "$src/httplib.h" "$httplib/"
  fi
  export QUENDAL_QT_MINGW=$qt
  cmake --preset windows-gui -DQUENDAL_HTTPLIB_DIR="$httplib"
  gui_started=$SECONDS
  cmake --build --preset windows-gui -j "$jobs"
  echo "window build: $((SECONDS - gui_started)) s"
  window_seconds=$((SECONDS - window_started))
fi

step "COM peer"
peer=$build/win-peer/quendal-com-peer
mkdir -p "$build/win-peer" "$build/win-com"
if [[ ! -x $peer || tests/windows/com_peer.cpp -nt $peer ]]; then
  c++ -std=c++20 -O2 -Wall -Wextra -Werror tests/windows/com_peer.cpp -o "$peer"
fi
# The builds alone, for a run that compiles while other tests wait on their devices; the
# next whole run finds them done.
[[ ${1:-} == --build-only ]] && exit 0

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
xvfb_pid=
devsim_pids=()
# shellcheck disable=SC2317  # called by the trap
cleanup() {
  local status=$?
  for pid in $peer_pid "${devsim_pids[@]}" $xvfb_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  "$wineserver" -k 2>/dev/null || true
  for number in 3 4 $(seq "$com" $((com + 5))); do
    rm -f "$WINEPREFIX/dosdevices/com$number"
  done
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Started as an operator would (the web check pointed at a closed local port), the window
# program shows its window, and asked to close as Windows asks a program, it ends.
window_shows_and_closes() {  # the program's Unix path
  local exe=$1 exe_pid shown=0 windows_seen
  QUENDAL_WEB_SERVICE=http://127.0.0.1:9 "$wine" "$exe" \
    </dev/null >"$build/win-com/quendal-exe.log" 2>&1 &
  exe_pid=$!
  for _ in $(seq 120); do
    if xwininfo -root -tree 2>/dev/null | grep -q 'Updater": ("quendal.exe"'; then
      shown=1
      break
    fi
    sleep 0.5
  done
  windows_seen=$(xwininfo -root -tree 2>/dev/null | grep '"quendal.exe"' || true)
  "$wine" taskkill /im quendal.exe </dev/null >/dev/null 2>&1 || true
  for _ in $(seq 60); do
    kill -0 "$exe_pid" 2>/dev/null || break
    sleep 0.5
  done
  if ((shown == 0)) || kill -0 "$exe_pid" 2>/dev/null; then
    echo "$exe did not show its window or did not close (log: $build/win-com/quendal-exe.log)" >&2
    printf 'shown %d; its windows before the close request:\n%s\n' "$shown" "$windows_seen" >&2
    kill "$exe_pid" 2>/dev/null || true
    wait "$exe_pid" 2>/dev/null || true
    return 1
  fi
  wait "$exe_pid" 2>/dev/null || true
  echo "$exe showed its window and closed"
}

step "Wine"
if ((window)); then
  # A virtual display for the Windows platform; Xvfb picks a free display number.
  mkdir -p "$build/win-com"
  rm -f "$build/win-com/display"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp </dev/null 3>"$build/win-com/display" \
    >"$build/win-com/xvfb.log" 2>&1 &
  xvfb_pid=$!
  display=
  for _ in $(seq 100); do
    display=$(cat "$build/win-com/display" 2>/dev/null || true)
    [[ -n $display ]] && break
    sleep 0.2
  done
  [[ -n $display ]] || { echo "Xvfb did not start" >&2; exit 1; }
  export DISPLAY=:$display
  echo "display $DISPLAY"
else
  unset DISPLAY
fi
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
((window)) && start_devsim $((com + 4)) kcd  # the window's own, apart from the console's
# The console's and the station's units on COM3 and COM4: device names in Windows paths,
# so their station folders must be named otherwise.
start_devsim 3 kcd
start_devsim 4 kcd
rdv_image="$build/win-com/RDV 1.23.txt"
"$native/firmware/quendal-mkimage" --flash 0x2100-0x1FEFF --info 0x1000:192 --seed 7 "$rdv_image"
export QUENDAL_TEST_SENSOR_PORT=COM$((com + 1))
export QUENDAL_TEST_RDV_PORT=COM$((com + 2))
export QUENDAL_TEST_RDV_IMAGE="Z:${rdv_image//\//\\}"
export QUENDAL_TEST_KCD_PORT=COM$((com + 4))

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
# self-check and restore. The data folder's name has letters outside ASCII, as a profile such
# as C:\users\José has; Wine hands the program its command line as the Unix locale's text.
data_dir="$build/win-com/data José"
rm -rf "$data_dir"
mkdir -p "$data_dir"
set +e
LANG=C.UTF-8 "$wine" "$build/windows/app/cli/quendal-cli.exe" update --port COM3 --answer ok \
  --data-dir "Z:${data_dir//\//\\}" </dev/null 2>&1 | tr -d '\r' | tee "$build/win-com/update.log"
update_status=${PIPESTATUS[0]}
set -e
if ((update_status != 0)) || ! grep -q "Successfully updated firmware in" "$build/win-com/update.log"; then
  echo "the update under Wine failed (exit $update_status)" >&2
  status=1
elif ! compgen -G "$data_dir/*.errors.txt" >/dev/null ||
  ! compgen -G "$data_dir/unit-settings/*.settings.txt" >/dev/null; then
  # The C runtime reads a narrow path in its own code page: "José" became "JosÃ©".
  echo "the update under Wine left its log or unit copy outside $data_dir: the folder's" \
    "name came through mangled" >&2
  status=1
fi

step "A station of two units under Wine"
# Two comm devices with their sensors, updated at once by copies of the console program
# that the station starts; the data folder's name has a blank and letters outside ASCII,
# which each copy must get back whole from its command line.
station_dir="$build/win-com/station data Zoë"
rm -rf "$station_dir"
mkdir -p "$station_dir"
set +e
LANG=C.UTF-8 "$wine" "$build/windows/app/cli/quendal-cli.exe" update --port COM3 \
  --port COM4 --answer ok --events --data-dir "Z:${station_dir//\//\\}" \
  </dev/null 2>&1 | tr -d '\r' >"$build/win-com/station.log"
station_status=${PIPESTATUS[0]}
set -e
units_done=$(grep -c '^{"event":"exit","port":"COM[0-9]*","status":0}$' "$build/win-com/station.log" || true)
records=$(grep -cE '"code":1[,}]' "$station_dir/updates.jsonl" 2>/dev/null || true)
grep -E '"event":"(exit|result)"' "$build/win-com/station.log" || true
if ((station_status != 0 || units_done != 2 || records != 2)); then
  echo "the station under Wine failed (exit $station_status, $units_done units done," \
    "$records records; log: $build/win-com/station.log)" >&2
  status=1
else
  echo "both units updated at once"
fi

if ((window)); then
  step "The window program under Wine"
  gui_started=$SECONDS
  window_shows_and_closes "$build/windows-gui/app/gui/quendal.exe" || status=1

  step "The window under Wine"
  # The window and the feedback form under Wine's Windows platform, and a whole update through
  # the window with the ports found by probing; the screenshot is taken at its end.
  shot=$build/win-com/main-window-windows.png
  rm -f "$shot"
  set +e
  QUENDAL_SCREENSHOT="Z:${shot//\//\\}" ctest --preset windows-gui 2>&1 | tee "$build/win-com/ctest-gui.log"
  gui_status=${PIPESTATUS[0]}
  set -e
  if ((gui_status != 0)) || grep -E "gui\.[A-Za-z]+ .*Skipped" "$build/win-com/ctest-gui.log"; then
    echo "the window's tests under Wine failed or were skipped" >&2
    status=1
  fi
  if [[ -f $shot ]]; then echo "screenshot: $shot"; fi
  echo "window program and tests: $((SECONDS - gui_started)) s"
  echo "window part in all (Qt, build, tests): $((window_seconds + SECONDS - gui_started)) s"
fi

if ((window)); then
  step "The installer under Wine"
  # The MSI of this build, and an older one of the same programs: the older is installed, the
  # newer replaces it in place, the installed programs run, and the removal leaves the data
  # folder that the installed program made.
  msi_started=$SECONDS
  version=$(sed -n 's/^project(Quendal VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
  msi=$build/win-msi
  rm -rf "$msi"
  mkdir -p "$msi/bin"
  cp "$build/windows-gui/app/gui/quendal.exe" "$build/windows/app/cli/quendal-cli.exe" "$msi/bin/"
  tools/make-msi 0.0.1 "$msi/bin" "$msi/quendal-older.msi" 2>"$msi/wixl-older.log"
  tools/make-msi "$version" "$msi/bin" "$msi/quendal-$version-x64.msi" 2>"$msi/wixl.log"
  installed="$WINEPREFIX/drive_c/Program Files/Orvelle/Quendal"
  uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
  entries() { "$wine" uninstaller --list </dev/null 2>/dev/null | tr -d '\r' | grep '|||Quendal$' || true; }
  shortcut() { find "$WINEPREFIX/drive_c" -iname 'Quendal.lnk' 2>/dev/null; }
  msi_fail() { echo "the installer under Wine: $*" >&2; status=1; }
  "$wine" msiexec /i "Z:${msi//\//\\}\\quendal-older.msi" /qn </dev/null >"$msi/install-older.log" 2>&1 ||
    msi_fail "the older package did not install"
  "$wine" msiexec /i "Z:${msi//\//\\}\\quendal-$version-x64.msi" /qn </dev/null >"$msi/install.log" 2>&1 ||
    msi_fail "the package did not install over the older one"
  listed=$(entries)
  echo "installed programs: $listed"
  if [[ $(grep -c . <<<"$listed") != 1 ]]; then
    msi_fail "not one Quendal in the installed programs after the upgrade"
  else
    code=${listed%%|*}
    shown_version=$("$wine" reg query "$uninstall_key\\$code" /v DisplayVersion </dev/null 2>/dev/null |
      tr -d '\r' | awk '/DisplayVersion/ {print $NF}')
    publisher=$("$wine" reg query "$uninstall_key\\$code" /v Publisher </dev/null 2>/dev/null | tr -d '\r')
    echo "installed programs show version $shown_version"
    [[ $shown_version == "$version" ]] || msi_fail "installed programs show version '$shown_version'"
    grep -q "Orvelle Devices, Inc" <<<"$publisher" || msi_fail "installed programs show no maker"
  fi
  echo "shortcut: $(shortcut)"
  [[ -n $(shortcut) ]] || msi_fail "no Start menu shortcut"
  cli_version=$("$wine" "$installed/quendal-cli.exe" --version </dev/null 2>&1 | tr -d '\r' | head -1)
  echo "installed: $cli_version"
  [[ $cli_version == "quendal-cli $version" ]] || msi_fail "the installed quendal-cli.exe says '$cli_version'"
  window_shows_and_closes "$installed/quendal.exe" || msi_fail "the installed window program"
  # The installed program makes its data folder; the removal must leave it and what is in it.
  "$wine" "$installed/quendal-cli.exe" update --port COM99 --answer ok </dev/null >"$msi/data.log" 2>&1 || true
  data=$(find "$WINEPREFIX/drive_c/users" -type d -path '*/Orvelle/Quendal' 2>/dev/null | head -1)
  if [[ -z $data ]]; then
    msi_fail "the installed program made no data folder"
  else
    echo "kept" >"$data/settings copy.txt"
  fi
  "$wine" msiexec /x "Z:${msi//\//\\}\\quendal-$version-x64.msi" /qn </dev/null >"$msi/remove.log" 2>&1 ||
    msi_fail "the package did not uninstall"
  [[ -e $installed/quendal.exe || -e $installed/quendal-cli.exe ]] && msi_fail "programs left after the removal"
  [[ -n $(shortcut) ]] && msi_fail "the shortcut is left after the removal"
  [[ -n $(entries) ]] && msi_fail "still in the installed programs after the removal"
  [[ -n $data && ! -f "$data/settings copy.txt" ]] && msi_fail "the removal took the data folder"
  echo "installer: $((SECONDS - msi_started)) s"
fi

printf '\nWindows job: %s in %d s\n' "$( ((status == 0)) && echo passed || echo FAILED)" \
  $((SECONDS - started))
exit "$status"
