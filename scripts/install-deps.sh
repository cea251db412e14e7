#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those that are missing.
set -euo pipefail
PKGS=(g++ cmake ninja-build pkg-config libgtest-dev libbenchmark-dev
      libmariadb-dev mariadb-server mariadb-client libtinyxml-dev liblzo2-dev
      libssl-dev libdw-dev procps iproute2 clang libclang-rt-14-dev
      python3 clang-format clang-tidy dpkg-dev lintian prometheus)
missing=()
for p in "${PKGS[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "install-deps: installing ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    $SUDO apt-get update -qq
    # A package's post-install must not start a system-wide server (the database, Prometheus): tests
    # start their own on free loopback ports.
    DEBIAN_FRONTEND=noninteractive RUNLEVEL=1 $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
    echo "install-deps: all packages present"
fi
