#!/bin/sh
# Takes the window's pictures for the documentation: docs/window-idle.png,
# window-updating.png, window-failure.png and window-success.png, headless, against simulated
# comm devices, in fresh folders of their own (no real port or preferences are touched).
#   tools/window-shots.sh [BUILD_FOLDER [OUT_FOLDER]]   (default: build/default docs)
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/default}
out=${2:-$here/docs}
cmake --build "$build" --target quendal-window-shots
QT_QPA_PLATFORM=offscreen "$here/tests/support/hermetic-run" \
  "$build/tests/gui/quendal-window-shots" "$out"
