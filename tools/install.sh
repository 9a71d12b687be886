#!/usr/bin/env bash
# Installs flowsieve (the module and the flowsieve command) into the
# project's virtual environment .venv. Building needs a C++ compiler and the
# interpreter's headers, the command's --filter needs libpcap at run time
# and the server names of QUIC flows libcrypto (OpenSSL 3): on Debian and
# Ubuntu g++, python3-dev, libpcap0.8 and libssl3 are installed when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
python=$(bash tools/venv.sh)
include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
missing=()
command -v g++ >/dev/null && [ -f "$include/Python.h" ] || missing+=(g++ python3-dev)
# The names the command loads libpcap by (Ubuntu's libpcap0.8t64 gives them too).
{ /sbin/ldconfig -p 2>/dev/null || ldconfig -p 2>/dev/null || true; } | grep -Eq 'libpcap\.so\.(0\.8|1) ' ||
  missing+=(libpcap0.8)
{ /sbin/ldconfig -p 2>/dev/null || ldconfig -p 2>/dev/null || true; } | grep -q 'libcrypto\.so\.3 ' || missing+=(libssl3)
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
