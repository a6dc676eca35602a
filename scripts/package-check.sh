#!/usr/bin/env bash
# Builds the Debian package (scripts/package.sh), unpacks it into a scratch root and checks it as
# an installed system would use it: the files it holds, that the user unit's ExecStart and the
# menu entry's Exec name programs it installs, that the installed velmor-bridge runs, that the
# manual pages render without a warning, that the bash completion completes, and that lintian
# finds no error. Ends non-zero at the first thing that is wrong, saying what.
set -euo pipefail
cd "$(dirname "$0")/.."

deb=$(scripts/package.sh | tail -n 1)
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
fail() { echo "package-check: $*" >&2; exit 1; }

# What the package holds, and nothing else (the simulator and the tests never go in).
libdir=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
expected=$(sort <<LIST
usr/bin/velmor-bridge
usr/bin/velmor-debug
usr/lib/$libdir/velmor-debug/libftd2xx-ftdi1.so
usr/lib/systemd/user/velmor-bridge@.service
usr/share/applications/velmor-debug.desktop
usr/share/bash-completion/completions/velmor-bridge
usr/share/doc/velmor-debug/changelog.gz
usr/share/doc/velmor-debug/copyright
usr/share/doc/velmor-debug/examples/70-velmor-ssc.rules
usr/share/icons/hicolor/128x128/apps/velmor-debug.png
usr/share/icons/hicolor/256x256/apps/velmor-debug.png
usr/share/icons/hicolor/48x48/apps/velmor-debug.png
usr/share/man/man1/velmor-bridge.1.gz
usr/share/man/man1/velmor-debug.1.gz
LIST
)
held=$(cd "$root" && find . -type f -o -type l | sed 's|^\./||' | sort)
[[ "$held" == "$expected" ]] || fail "the package's files differ from those expected:
$(diff <(echo "$expected") <(echo "$held") || true)"

# The licence, MIT, by Debian's name for it in the machine-readable copyright file; the completion
# works with bash-completion, which the package recommends.
grep -qx 'License: Expat' "$root/usr/share/doc/velmor-debug/copyright" ||
    fail "the copyright file does not name the Expat (MIT) licence"
[[ "$(dpkg-deb -f "$deb" Recommends)" == *bash-completion* ]] ||
    fail "the package does not recommend bash-completion"

# The unit and the menu entry name programs the package installs, by their full path.
exec_start=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$root/usr/lib/systemd/user/velmor-bridge@.service")
exec_entry=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$root/usr/share/applications/velmor-debug.desktop")
[[ "$exec_start" == /usr/bin/velmor-bridge ]] || fail "ExecStart names $exec_start"
[[ "$exec_entry" == /usr/bin/velmor-debug ]] || fail "the menu entry's Exec names $exec_entry"
for program in "$exec_start" "$exec_entry"; do
    [[ -x "$root$program" ]] || fail "$program is not in the package"
done

# The user unit's sandbox: systemd-analyze rates an instance of it as installed, a port name
# with a space in it, at 4.0 or better (9.6 without the sandbox), and reads every setting.
units=$(mktemp -d)
runtime=$(mktemp -d)
trap 'rm -rf "$root" "$units" "$runtime"' EXIT
instance="$units/velmor-bridge@Board\\x202.service"
cp "$root/usr/lib/systemd/user/velmor-bridge@.service" "$instance"
rating=$(XDG_RUNTIME_DIR="$runtime" systemd-analyze security --offline=true --user --threshold=40 \
    "$instance" 2>&1) || fail "the user unit's sandbox rates above 4.0:
$(grep -E '^(✗|→)' <<<"$rating")"
if grep -qi 'unknown\|ignoring' <<<"$rating"; then
    fail "systemd does not read the unit as written: $(grep -i 'unknown\|ignoring' <<<"$rating")"
fi
echo "package-check: $(grep -o 'exposure level.*' <<<"$rating")"

# The installed programs run, from where they are installed.
version=$(sed -n 's/^Version: //p' < <(dpkg-deb -f "$deb"))
[[ "$("$root/usr/bin/velmor-bridge" --version)" == "velmor-bridge $version" ]] ||
    fail "velmor-bridge --version does not say $version"
[[ "$("$root/usr/bin/velmor-debug" --version)" == "velmor-debug $version" ]] ||
    fail "velmor-debug --version does not say $version"

# The manual pages render, without a warning from groff.
for page in velmor-bridge velmor-debug; do
    warnings=$(MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
    [[ -z "$warnings" ]] || fail "man $page warns: $warnings"
    MANWIDTH=80 man -l "$root/usr/share/man/man1/$page.1.gz" 2>/dev/null | grep -q "EXIT STATUS" ||
        fail "man $page has no EXIT STATUS"
done

# The completion completes options, and device descriptions, here the simulator's.
completion="$root/usr/share/bash-completion/completions/velmor-bridge"
complete_line() {  # the words of a command line being typed, the last one unfinished
    PATH="$root/usr/bin:$PATH" bash -c 'source "$1"; shift; COMP_WORDS=("$@");
        COMP_CWORD=$(($# - 1)); _velmor_bridge; printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$@"
}
[[ "$(complete_line velmor-bridge --verb)" == "--verbose" ]] || fail "--verb does not complete"
cmake --build build-deb --target ftd2xx_sim >/dev/null
got=$(complete_line velmor-bridge --driver build-deb/sim/libftd2xx.so --device "SSC")
[[ "$got" == 'SSC\ Simulator' ]] || fail "--device SSC completes to '$got'"
got=$(complete_line velmor-bridge --driver build-deb/sim/libftd2xx.so --serial "")
[[ "$got" == SIM000 ]] || fail "--serial completes to '$got'"

# lintian: no error. Its warnings are printed for the record.
report=$(lintian "$deb" 2>&1 | grep -v 'running with root privileges' || true)
[[ -n "$report" ]] && echo "$report"
if grep -q '^E:' <<<"$report"; then
    fail "lintian reports errors"
fi
echo "package-check: $(basename "$deb") holds what it should and installs consistently"
