#!/usr/bin/env bash
# Installs, with apt-get, whichever of the packages that building, running and testing
# Velmor Debug needs are not installed yet. Installs nothing when everything is there.
#   scripts/deps.sh            what building and running the program needs
#   scripts/deps.sh --tests    and what the tests and the fuzz targets need (the package's too)
#   scripts/deps.sh --package  and what building the Debian package needs
set -euo pipefail

packages=(build-essential cmake ninja-build pkg-config qt6-base-dev qt6-qpa-plugins libgl-dev
          libftdi1-dev libudev-dev)
# systemd: systemd-analyze rates the user unit's sandbox.
package_tools=(dpkg-dev file lintian man-db systemd)
if [[ "${1:-}" == "--tests" ]]; then
    packages+=(googletest libgtest-dev libgmock-dev python3 python3-serial ser2net clang-format
               clang libclang-rt-14-dev umockdev libumockdev-dev "${package_tools[@]}")
elif [[ "${1:-}" == "--package" ]]; then
    packages+=("${package_tools[@]}")
fi

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
