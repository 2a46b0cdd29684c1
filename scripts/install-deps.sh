#!/usr/bin/env bash
# Installs what building and testing VelquoraORN needs on Debian 12.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends \
  g++ cmake make libssl-dev libgtest-dev googletest clang-format clang-14 libclang-rt-14-dev
