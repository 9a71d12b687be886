#!/usr/bin/env bash
# Installs what building and testing need on a fresh machine: the C++
# toolchain's GoogleTest from Debian, the build and test tools from PyPI.
set -euo pipefail

if ! dpkg -s libgtest-dev >/dev/null 2>&1 || ! command -v g++ >/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq libgtest-dev g++ >/dev/null
fi
python3 -m pip install -q --disable-pip-version-check cmake ninja pytest
