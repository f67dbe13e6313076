#!/usr/bin/env bash
# A full disk, for real: the console updates a simulated comm device and its sensor with the
# data folder on a small tmpfs that is full. The update must stop before the loader with a
# message that names the settings file and the system's error, end with the status of a
# failed write (4: refused before the device was changed), and the sensor keeps its firmware.
#
#   .ci/full-disk.sh [BUILD]      BUILD: the native build tree, default build/default
#
# Mounting needs root (CI runs as root); without it the check is skipped, saying so.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
cli=$build/app/cli/quendal-cli
devsim=$build/sim/quendal-devsim

if ((EUID != 0)); then
  echo "== full-disk check SKIPPED: mounting a tmpfs needs root"
  exit 0
fi
[[ -x $cli && -x $devsim ]] || { echo "full-disk check: build $cli and $devsim first" >&2; exit 1; }

work=$(mktemp -d /tmp/quendal-full-disk.XXXXXX)
disk=$work/disk
runtime=$work/run
mkdir -p "$disk" "$runtime"
chmod 700 "$runtime"
devsim_pid=
cleanup() {
  local status=$?
  [[ -n $devsim_pid ]] && { kill "$devsim_pid" 2>/dev/null || true; wait "$devsim_pid" 2>/dev/null || true; }
  mountpoint -q "$disk" && umount "$disk"
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT

mount -t tmpfs -o size=64k,mode=0700 quendal-full "$disk"
mkdir -m 700 "$disk/data"
# Fill every block; the folder entries the updater makes need none, its file contents do.
dd if=/dev/zero of="$disk/filler" bs=4k 2>/dev/null || true
df -k "$disk" | tail -1

# An older sensor firmware than the built-in image's, so that an update would change it.
XDG_RUNTIME_DIR=$runtime "$devsim" --device kcd --sensor-version 390 --name full-disk </dev/null >"$work/devsim.log" 2>&1 &
devsim_pid=$!
port=$runtime/quendal/devsim-full-disk
for _ in $(seq 50); do
  [[ -L $port ]] && break
  sleep 0.1
done
[[ -L $port ]] || { echo "the simulated device did not start" >&2; cat "$work/devsim.log" >&2; exit 1; }

# The sensor's firmware version, as info reads it (with its log on a disk with room).
sensor_firmware() {
  "$cli" info --port "$port" --data-dir "$work/info" --events </dev/null 2>/dev/null |
    grep -o '"sensor":{[^}]*' | grep -o '"version":"[^"]*"' || true
}
before=$(sensor_firmware)

set +e
"$cli" update --port "$port" --answer ok --data-dir "$disk/data" </dev/null >"$work/update.log" 2>&1
status=$?
set -e
after=$(sensor_firmware)
cat "$work/update.log"

failed=0
say() { echo "full-disk check: $*" >&2; failed=1; }
((status == 4)) || say "exit status $status, not 4 (a failed write before the device was changed)"
grep -q "could not write them to" "$work/update.log" || say "no message of the failed write"
grep -q "$disk/data/.*settings.txt" "$work/update.log" || say "the message does not name the settings file"
grep -q "No space left on device" "$work/update.log" || say "the message does not give the system's error"
[[ $before == '"version":"3.90"' && $before == "$after" ]] ||
  say "the sensor's firmware changed (${before:-unread}, then ${after:-unread})"
if grep -Eq "loader|Erasing|Uploading" "$work/update.log"; then say "the update went on to the loader"; fi
((failed == 0)) || exit 1
echo "== full-disk check passed: stopped before the loader, exit 4, firmware kept ($after)"
