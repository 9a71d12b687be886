#!/usr/bin/env bash
# Makes the project's virtual environment .venv (with pip) if it is missing
# and prints its interpreter's path. Debian and Ubuntu keep their system
# Python externally managed (PEP 668) and ship venv apart, as python3-venv:
# that package is installed when venv does not work.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
if [ ! -x .venv/bin/python ] || ! .venv/bin/python -m pip --version >/dev/null 2>&1; then
  rm -rf .venv
  if ! "$python" -m venv .venv >/dev/null 2>&1; then
    rm -rf .venv
    minor=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    sudo=; [ "$(id -u)" = 0 ] || sudo=sudo
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq >&2
    $sudo apt-get install -y -qq python3-venv "python$minor-venv" >/dev/null 2>&1 \
      || $sudo apt-get install -y -qq python3-venv >&2
    "$python" -m venv .venv >&2
  fi
  .venv/bin/python -m pip install -q --disable-pip-version-check --upgrade pip >&2
fi
echo "$PWD/.venv/bin/python"
