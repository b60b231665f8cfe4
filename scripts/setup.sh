#!/usr/bin/env bash
# Turns a fresh Debian 12 machine (root, package registries only) into one that builds and tests
# DrovaneHelper natively and for 64-bit Windows. A second run finds everything in place and does
# nothing new.
#
# The MinGW builds of nghttp2 and libcrypto go into a versioned prefix outside the clone
# (DROVANE_DEPS, default /opt/drovane-deps), built once per machine and reused by every build.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  wine wine64
  libboost1.81-dev libnghttp2-dev libssl-dev googletest libgtest-dev
  nghttp2-client curl dpkg-dev ca-certificates perl make
  clang lld clang-14 libclang-rt-14-dev llvm-14 clang-format-14
  python3 python3-jsonschema python3-yaml
  # The browser test drives headless Chromium against the HTTP front.
  chromium
  # The Rust example of the client library is built for Windows with Debian's rustc.
  rustc libstd-rust-dev-windows
)
# The OpenAPI linter runs on Node.js; the machine's own Node.js is used where there is one.
if ! command -v npm >/dev/null; then
  packages+=(nodejs npm)
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
"$here/build-mingw-deps.sh"

# The OpenAPI linter, pinned, in a prefix of its own.
source "$here/tools.sh"
if [[ ! -x $redocly ]]; then
  echo "setup: installing @redocly/cli@$redocly_version into $redocly_prefix"
  mkdir -p "$redocly_prefix"
  npm install --prefix "$redocly_prefix" --no-audit --no-fund --omit=dev \
    "@redocly/cli@$redocly_version"
fi
