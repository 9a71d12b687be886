#!/usr/bin/env bash
# Installs flowsieve (the module and the flowsieve command) into the
# project's virtual environment .venv. Building needs a C++ compiler and the
# interpreter's headers: Debian's g++ and python3-dev are installed when
# missing.
set -euo pipefail
cd "$(dirname "$0")/.."
python=$(bash tools/venv.sh)
include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
if ! command -v g++ >/dev/null || [ ! -f "$include/Python.h" ]; then
  sudo=; [ "$(id -u)" = 0 ] || sudo=sudo
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq g++ python3-dev >/dev/null
fi
echo "building and installing flowsieve into .venv (compiles the C++ sources: about 100 s on 2 cores)"
"$python" -m pip install -q --disable-pip-version-check .
echo "installed: $("$python" -c 'import flowsieve; print(flowsieve.__file__)') and $(dirname "$python")/flowsieve"
