#!/usr/bin/env bash
# Debian packages: builds libmervane1, libmervane-dev, mervane-tools and python3-mervane into
# dist/ with CPack, from a build folder of their own (build-deb/, Debian's hardening flags, no
# tests), and checks each with lintian. Install them with
# `apt install ./dist/*.deb`; scripts/package_test.sh tests them as installed.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh dpkg-dev file help2man lintian python3-setuptools
start=$(date +%s)

# The compiler and linker flags of Debian's own packages (-O2 -g, fortify, stack protector, relro,
# now) and no others: build type None, as Debian builds CMake projects. NDEBUG as in the tested
# builds (RelWithDebInfo).
export DEB_BUILD_MAINT_OPTIONS="hardening=+all"
cflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CFLAGS) -DNDEBUG"
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS) -DNDEBUG"
ldflags="$(dpkg-buildflags --get LDFLAGS)"
dir=build-deb
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr -DMERVANE_INSTALLED_PATHS=ON \
  -DMERVANE_TESTS=OFF -DMERVANE_BENCH=OFF -DMERVANE_SANITIZE= \
  -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" \
  -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" -DCMAKE_MODULE_LINKER_FLAGS="$ldflags" \
  >/dev/null
cmake --build "$dir" -j2

rm -rf dist "$dir/_CPack_Packages"
mkdir -p dist
(cd "$dir" && cpack -G DEB -B "$PWD/../dist" >/dev/null)
rm -rf dist/_CPack_Packages
echo "Packages in dist/:"
ls -l dist | awk 'NR > 1 { printf "  %-50s %8d bytes\n", $9, $5 }'

# Every package: no error allowed; warnings are shown.
lintian --fail-on error --tag-display-limit 0 dist/*.deb
echo "Packages built and checked: $(( $(date +%s) - start )) s"
