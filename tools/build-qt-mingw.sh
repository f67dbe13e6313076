#!/usr/bin/env bash
# Builds the static Qt 6 (qtbase) for x86_64-w64-mingw32 that the window's Windows build
# links against, from Debian's own source package with Debian's patches, using Debian's Qt
# host tools (moc, rcc, uic) of the same version. About an hour on 2 cores, ~3 GB of work space.
#
#   tools/build-qt-mingw.sh [PREFIX]
#
# PREFIX defaults to ${XDG_CACHE_HOME:-~/.cache}/quendal/qt6-mingw64-static, outside the work
# tree; the work folder is PREFIX.work (removed after a successful install unless
# QUENDAL_KEEP_QT_WORK=1). Environment: QUENDAL_JOBS (parallel jobs, default: all cores).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
version=6.4.2
debian_version=6.4.2+dfsg-10  # the host tools (qt6-base-dev-tools) must be this version too
prefix=$(realpath -m "${1:-${XDG_CACHE_HOME:-$HOME/.cache}/quendal/qt6-mingw64-static}")
work=$prefix.work
jobs=${QUENDAL_JOBS:-$(nproc)}

host_version=$(dpkg-query -W -f='${Version}' qt6-base-dev-tools 2>/dev/null || true)
if [[ $host_version != "$debian_version" ]]; then
  echo "qt6-base-dev-tools $debian_version is needed for the host tools (found: ${host_version:-none})" >&2
  exit 1
fi
for tool in x86_64-w64-mingw32-g++-posix cmake ninja dpkg-source; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done

started=$SECONDS
src=$("$here/debian-source.sh" "qt6-base=$debian_version" "$work")
# Without Direct2D the Windows platform plugin must not reach for the DirectWrite font
# database, which QtGui then leaves out.
patch -d "$src" -p1 <"$here/qt-mingw/qt-windows-directwrite3.patch"

cmake -S "$src" -B "$work/build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$here/qt-mingw/toolchain-qt-mingw64.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
  -DFEATURE_static_runtime=ON -DFEATURE_pkg_config=OFF \
  -DFEATURE_opengl=OFF -DINPUT_opengl=no -DFEATURE_dbus=OFF -DFEATURE_icu=OFF -DFEATURE_sql=OFF \
  -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_printsupport=OFF \
  -DFEATURE_openssl=OFF -DINPUT_openssl=no -DFEATURE_schannel=ON -DFEATURE_ssl=ON \
  -DFEATURE_zstd=OFF -DFEATURE_jpeg=OFF -DFEATURE_direct2d=OFF -DFEATURE_tabletevent=OFF \
  -DFEATURE_androiddeployqt=OFF
cmake --build "$work/build" --parallel "$jobs"
rm -rf "$prefix"
cmake --install "$work/build" >/dev/null
[[ ${QUENDAL_KEEP_QT_WORK:-0} == 1 ]] || rm -rf "$work"
printf 'Qt %s for MinGW-w64 in %s (%d min)\n' "$version" "$prefix" $(((SECONDS - started) / 60))
