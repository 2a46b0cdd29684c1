#!/usr/bin/env bash
# Installs what building and testing VelquoraORN needs on Debian 12.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
# The Windows stage runs the 32-bit DLL's tests under Wine, in a 32-bit prefix (wine32, an i386
# package) and in a 64-bit one under WOW64 (wine64). LLVM's dlltool (llvm-14) writes the import
# library Visual Studio links; lld-link (lld-14) links the Visual Studio-style test applications.
$SUDO dpkg --add-architecture i386
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends \
  g++ cmake make libssl-dev libgtest-dev googletest clang-format clang-14 libclang-rt-14-dev pkgconf \
  g++-mingw-w64-i686-posix wine wine32 wine64 llvm-14 lld-14
# The .NET binding's build and tests (scripts/test-bindings.sh): Mono's C# compiler and runtime,
# and python3 for the check of its declarations against the header.
$SUDO apt-get install -y --no-install-recommends mono-mcs mono-runtime libmono-system-core4.0-cil \
  python3
