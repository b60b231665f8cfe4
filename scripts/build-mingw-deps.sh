#!/usr/bin/env bash
# Builds static MinGW-w64 libraries of nghttp2 and OpenSSL's libcrypto from Debian's own source
# packages into a prefix named after their versions. Prints the prefix on its last line.
# Nothing is rebuilt when the prefix is already complete.
set -euo pipefail

root=${DROVANE_DEPS:-/opt/drovane-deps}
triplet=x86_64-w64-mingw32

# Source packages come from the same suites as the binary ones.
sources=/etc/apt/sources.list.d/drovane-deb-src.sources
if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
  sed -e 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources >"$sources"
  apt-get update -q
fi

# The newest version whose source can actually be fetched (a mirror may list a version it
# does not serve yet).
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fetch_source() {
  local package=$1 version
  [[ -n $(apt-cache showsrc "$package" 2>/dev/null) ]] || apt-get update -q >/dev/null
  for version in $(apt-cache showsrc "$package" | sed -n 's/^Version: //p' | sort -Vru); do
    if [[ -f $root/.source-$package-$version ]] ||
      (cd "$work" && apt-get source -q --download-only "$package=$version" >/dev/null 2>&1); then
      mkdir -p "$root" && touch "$root/.source-$package-$version"
      echo "$version"
      return 0
    fi
  done
  echo "build-mingw-deps: no source of $package could be fetched" >&2
  return 1
}
nghttp2_version=$(fetch_source nghttp2)
openssl_version=$(fetch_source openssl)
# The build revision (r2) changes whenever the way these libraries are built changes.
prefix="$root/mingw64-r2-nghttp2-${nghttp2_version}-openssl-${openssl_version}"

if [[ -f $prefix/.complete ]]; then
  echo "$prefix"
  exit 0
fi

cd "$work"
for package in nghttp2 openssl; do
  version_var=${package}_version
  ls ${package}_*.dsc >/dev/null 2>&1 ||
    apt-get source -q --download-only "$package=${!version_var}" >/dev/null 2>&1
done
dpkg-source -x nghttp2_*.dsc nghttp2-src >/dev/null 2>&1
dpkg-source -x openssl_*.dsc openssl-src >/dev/null 2>&1

rm -rf "$prefix"
mkdir -p "$prefix"

cat >toolchain.cmake <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER $triplet-gcc-posix)
set(CMAKE_CXX_COMPILER $triplet-g++-posix)
set(CMAKE_RC_COMPILER $triplet-windres)
set(CMAKE_FIND_ROOT_PATH /usr/$triplet)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
EOF

echo "build-mingw-deps: nghttp2 $nghttp2_version"
# nghttp2 1.52 fails to link on Windows when it finds both clock_gettime (from winpthreads) and
# GetTickCount64; the Windows clock is the one meant there.
cmake -S nghttp2-src -B nghttp2-build -G Ninja -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DENABLE_LIB_ONLY=ON \
  -DENABLE_STATIC_LIB=ON -DENABLE_SHARED_LIB=OFF -DENABLE_DOC=OFF \
  -DHAVE_CLOCK_GETTIME=0 >/dev/null
cmake --build nghttp2-build >/dev/null
cmake --install nghttp2-build >/dev/null

echo "build-mingw-deps: openssl $openssl_version (libcrypto)"
(
  cd openssl-src
  ./Configure mingw64 --cross-compile-prefix=$triplet- --prefix="$prefix" --libdir=lib \
    no-shared no-tests >/dev/null
  make -j"$(nproc)" build_libs >/dev/null
  make install_dev >/dev/null
)
rm -f "$prefix"/lib/libssl* "$prefix"/lib/pkgconfig/libssl.pc "$prefix"/lib/pkgconfig/openssl.pc

touch "$prefix/.complete"
echo "$prefix"
