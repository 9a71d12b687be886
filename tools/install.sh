#!/usr/bin/env bash
# Installs flowsieve (the module and the flowsieve command) into the
# project's virtual environment .venv. Building needs a C++ compiler and the
# interpreter's headers, and the command's --filter needs libpcap at run
# time: on Debian and Ubuntu g++, python3-dev and libpcap0.8 are installed
# when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
python=$(bash tools/venv.sh)
include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
missing=()
command -v g++ >/dev/null && [ -f "$include/Python.h" ] || missing+=(g++ python3-dev)
if command -v dpkg-query >/dev/null &&
   ! dpkg-query -W -f '${Status}' libpcap0.8 2>/dev/null | grep -q 'ok installed'; then
  missing+=(libpcap0.8)
fi
if [ ${#missing[@]} -gt 0 ] && command -v apt-get >/dev/null; then
  sudo=; [ "$(id -u)" = 0 ] || sudo=sudo
  export DEBIAN_FRONTEND=noninteractive
  echo "installing ${missing[*]} with apt-get"
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
echo "building and installing flowsieve into .venv (compiles the C++ sources: about 100 s on 2 cores)"
"$python" -m pip install -q --disable-pip-version-check .
echo "installed: $("$python" -c 'import flowsieve; print(flowsieve.__file__)') and $(dirname "$python")/flowsieve"
