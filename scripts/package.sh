#!/usr/bin/env bash
# Builds the Debian package velmor-debug_VERSION_ARCH.deb in build-deb/: a release build for the
# /usr prefix with Debian's hardening flags, packed by CPack, its dependencies computed from the
# binaries. Only what the package ships is built: no tests, benchmarks, emulated chips or
# simulator. Installs what building it needs, if missing. Prints the package's path last.
#   scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh --package

# Debian's build flags: fortified, stack-protected, full RELRO, as lintian expects of a package.
export DEB_BUILD_MAINT_OPTIONS="hardening=+all"
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
export CXXFLAGS LDFLAGS

cmake -S . -B build-deb -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DVELMOR_BUILD_TESTS=OFF -DVELMOR_USB_EMULATION=OFF -DVELMOR_BUILD_SIM=OFF >/dev/null
cmake --build build-deb -j "$(nproc)"
(cd build-deb && cpack -G DEB >/dev/null)
ls "$PWD"/build-deb/velmor-debug_*.deb
