#!/usr/bin/env bash
# Installs what building and testing need on a fresh machine: from Debian,
# GoogleTest, g++, clang with its fuzzer runtime, editcap (wireshark-common),
# tshark, tcpdump and tcpflow (the stream benchmark's other reassembler); from
# PyPI, into the project's virtual environment .venv, the build and test tools
# (communityid: the reference for flow hashes; nfstream: the reference for the
# first packets' sizes and directions; aioquic: the maker of the QUIC Initial
# packets the name tests read) and the examples' libraries. libssl3 brings
# libcrypto.so.3, which reading QUIC Initials loads at run time.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(libgtest-dev g++ clang libclang-rt-14-dev wireshark-common tshark tcpdump tcpflow python3-dev libssl3)
missing=()
for p in "${packages[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=; [ "$(id -u)" = 0 ] || sudo=sudo
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
python=$(bash tools/venv.sh)
"$python" -m pip install -q --disable-pip-version-check cmake ninja pytest mypy "dask[distributed]" pandas numpy communityid nfstream aioquic
