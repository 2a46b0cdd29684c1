#!/usr/bin/env bash
# Installs what building and testing VelquoraORN needs on Debian 12.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
# The Windows stage runs the 32-bit DLL's tests under Wine, in a 32-bit prefix (wine32, an i386
# package) and in a 64-bit one under WOW64 (wine64). LLVM's dlltool (llvm-14) writes the import
# library Visual Studio links; lld-link (lld-14) links the Visual Studio-style test applications.
# The bindings (scripts/test-bindings.sh): python3-pytest and python3-setuptools (for Debian's
# /usr/bin/python3) run the Python binding's tests and its offline `pip install` check; Mono's C#
# compiler and runtime build and run the .NET binding and its tests.
# ornsim's browser face: cpp-httplib and nlohmann's JSON; its tests (scripts/test-browser.sh)
# drive Debian's Chromium headless through chromium-driver and python3-selenium.
$SUDO dpkg --add-architecture i386
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends \
  g++ cmake make libssl-dev libgtest-dev googletest clang-format clang-14 libclang-rt-14-dev pkgconf \
  g++-mingw-w64-i686-posix wine wine32 wine64 llvm-14 lld-14 \
  python3 python3-pytest python3-setuptools mono-mcs mono-runtime libmono-system-core4.0-cil \
  libcpp-httplib-dev nlohmann-json3-dev chromium chromium-driver python3-selenium
