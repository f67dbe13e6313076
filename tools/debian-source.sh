#!/usr/bin/env bash
# Fetches a Debian source package and unpacks it with Debian's patches applied, through an
# apt configuration of its own: no root, and the machine's apt sources stay as they are.
#
#   tools/debian-source.sh PACKAGE[=VERSION] WORKDIR     (unpacks into WORKDIR/src)
#
# Needs apt-get and dpkg-source (dpkg-dev); the suite follows the running Debian release.
set -euo pipefail
[[ $# -eq 2 ]] || { echo "usage: $0 PACKAGE[=VERSION] WORKDIR" >&2; exit 2; }
package=$1
work=$(realpath -m "$2")
# shellcheck disable=SC1091
suite=${QUENDAL_DEBIAN_SUITE:-$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")}
mirror=${QUENDAL_DEBIAN_MIRROR:-http://deb.debian.org/debian}

mkdir -p "$work/apt/lists/partial" "$work/apt/cache/archives/partial" "$work/download"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $suite main" \
  >"$work/apt/sources.list"
opts=(-o "Dir::Etc::SourceList=$work/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
  -o "Dir::State::Lists=$work/apt/lists" -o "Dir::Cache=$work/apt/cache"
  -o APT::Sandbox::User="$(id -un)")
apt-get "${opts[@]}" -qq update
(cd "$work/download" && apt-get "${opts[@]}" -qq source --download-only "$package")
dsc=$(find "$work/download" -maxdepth 1 -name "${package%%=*}_*.dsc" | sort | tail -n 1)
[[ -n $dsc ]] || { echo "no source package for $package" >&2; exit 1; }
rm -rf "$work/src"
dpkg-source -x --no-check "$dsc" "$work/src" >/dev/null
echo "$work/src"
