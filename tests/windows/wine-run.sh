#!/usr/bin/env bash
# Runs a Windows test program under Wine: the cross build's CMAKE_CROSSCOMPILING_EMULATOR.
# The wine server must already be running, detached (.ci/windows.sh starts it); a server or
# service that Wine starts from here would inherit ctest's pipes and ctest would wait for
# them for ever.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX=${WINEPREFIX:-$here/../../build/win-prefix}
export WINEDEBUG=${WINEDEBUG:--all}

# Debian's wine wrapper warns about a missing 32-bit wine on every start; wine64 is enough.
wine=$(command -v wine64 || true)
[[ -z $wine && -x /usr/lib/wine/wine64 ]] && wine=/usr/lib/wine/wine64
[[ -z $wine ]] && wine=wine

# Wine keeps QT_* variables from Windows programs; WINEQT_* arrive as QT_*. Without a
# console, Qt Test would log to the debugger channel.
while IFS= read -r name; do
  [[ $name == QT_* ]] && export "WINE$name=${!name}"
done < <(compgen -e)
export WINEQT_FORCE_STDERR_LOGGING=1

for arg in "$@"; do
  if [[ $arg == --gtest_list_tests ]]; then
    # Console output arrives with CR LF; gtest discovery would keep the CR in suite names.
    "$wine" "$@" | tr -d '\r'
    exit "${PIPESTATUS[0]}"
  fi
done
exec "$wine" "$@"
