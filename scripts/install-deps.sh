#!/usr/bin/env bash
# Installs the Debian packages Postern needs, only those that are missing.
# Usage: scripts/install-deps.sh GROUP...   (groups: build app test fuzz bench package windows)
set -euo pipefail

packages=()
for group in "$@"; do
    case "$group" in
        build) packages+=(cmake ninja-build g++ pkg-config libssl-dev) ;;
        app) packages+=(qt6-base-dev qt6-base-dev-tools libgl-dev libxcb1-dev) ;;
        test) packages+=(libgtest-dev libgmock-dev python3 openssl dovecot-core dovecot-pop3d
                         xvfb xauth trayer xdotool x11-utils imagemagick openbox dbus
                         python3-dbus xfce4-panel curl mpop fetchmail libmail-pop3client-perl) ;;
        fuzz) packages+=(clang libclang-rt-14-dev) ;;
        bench) packages+=(haproxy stunnel4 openssl dovecot-core dovecot-pop3d python3) ;;
        package) packages+=(scdoc dpkg-dev file lintian desktop-file-utils systemd man-db) ;;
        # The Windows build: cross compiler (the -posix one has std::thread), wine
        # to run the tests, NSIS for the installer, GoogleTest's sources to
        # cross-compile, Python and Dovecot for the integration test, an X
        # desktop with a tray for the desktop test of postern.exe, wrestool to
        # read the programs' resources.
        windows) packages+=(cmake ninja-build g++-mingw-w64-x86-64-posix wine wine64 nsis
                            googletest python3 openssl dovecot-core dovecot-pop3d
                            xvfb xauth trayer xdotool x11-utils imagemagick fonts-wine icoutils) ;;
        *) echo "install-deps: unknown group '$group'" >&2; exit 2 ;;
    esac
done

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    sudo=()
elif command -v sudo >/dev/null; then
    sudo=(sudo)
else
    echo "install-deps: please install as root: apt-get install ${missing[*]}" >&2
    exit 1
fi
echo "install-deps: installing ${missing[*]}"
# Dovecot's own system service is never used; keep the package from starting it.
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
