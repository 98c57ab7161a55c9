#!/usr/bin/env bash
# Builds the Debian packages postern_<version>_<arch>.deb (the tray app) and
# posternd_<version>_<arch>.deb (the daemon and its service) in build/package/,
# and checks them with lintian. With --test it then installs them, tries them
# out and removes them again (root only: it runs dpkg).
# Usage: scripts/package.sh [--test]
set -euo pipefail
cd "$(dirname "$0")/.."

run_test=no
case "${1:-}" in
    "") ;;
    --test) run_test=yes ;;
    *) echo "package.sh: unknown argument '$1'; usage: scripts/package.sh [--test]" >&2; exit 2 ;;
esac

groups=(build app package)
[ "$run_test" = yes ] && groups+=(test)
scripts/install-deps.sh "${groups[@]}"

out_dir=build/package
build_dir=build/package-build
# The compiler and linker flags of a Debian package build, with all hardening.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
    -DPOSTERN_WERROR=ON -DPOSTERN_BUILD_TESTS=OFF -DPOSTERN_MANPAGES=ON \
    -DPOSTERN_PACKAGE_TEST=ON >/dev/null
cmake --build "$build_dir"

rm -rf "$out_dir" "$build_dir/cpack"
mkdir -p "$out_dir"
(cd "$build_dir" && cpack -G DEB -B "$PWD/cpack" >/dev/null)
mv "$build_dir"/cpack/*.deb "$out_dir/"
ls -1 "$out_dir"

# Errors fail the build; warnings are shown.
lintian --fail-on error --info "$out_dir"/*.deb

if [ "$run_test" = yes ]; then
    ctest --test-dir "$build_dir" -R '^package\.' --output-on-failure --timeout 900
fi
