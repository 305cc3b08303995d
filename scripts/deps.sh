#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need, only those
# that are missing. Needs root (apt-get).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libhidapi-dev libjpeg62-turbo-dev libpng-dev
  libayatana-appindicator3-dev libnotify-dev
  xvfb dbus python3-gi
  iproute2 util-linux procps
  chromium
  lintian desktop-file-utils man-db
)
# Node.js with npm drives the browser tests. A Node.js from elsewhere (which
# brings its own npm) is used as it is: Debian's npm package would conflict.
if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  packages+=(nodejs npm)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi
