#!/usr/bin/env bash
# Installs what building and testing VELLORT needs on a Debian machine, as root.
# Only missing packages are installed, so a second run costs nothing.
set -euo pipefail

packages=(g++ cmake make libtinyxml2-dev libboost-dev libgtest-dev libsqlite3-dev sqlite3 libxxhash-dev xxhash
          pkg-config libcpp-httplib-dev libsystemd-dev python3-prometheus-client libmosquitto-dev
          mosquitto python3-paho-mqtt  # the events' tests: a broker, and a subscriber like the example consumer
          chromium chromium-driver python3-selenium  # the status page's browser test
          e2fsprogs xfsprogs  # the power-cut tests' disks: ext4, and XFS in the long run
          prometheus)  # promtool for the alerting rules' tests, and the server of the alert test
if [[ "${VELLORT_WITH_CLANG:-0}" == 1 ]]; then
    packages+=(clang libclang-rt-14-dev)
fi

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if ((${#missing[@]} > 0)); then
    echo "setup: installing ${missing[*]}"
    if [[ $(id -u) -ne 0 ]]; then
        echo "setup: must run as root to install packages" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
    # The package starts its own server on all addresses at port 9090; the
    # tests start theirs on loopback, so the one installed here is stopped.
    # Without systemd (a container) there is none to stop.
    if [[ " ${missing[*]} " == *" prometheus "* ]] && command -v systemctl >/dev/null &&
        [[ -d /run/systemd/system ]]; then
        systemctl disable --now prometheus.service
    fi
    # The same for the broker, on port 1883: the events' tests start theirs on a
    # free loopback port.
    if [[ " ${missing[*]} " == *" mosquitto "* ]] && command -v systemctl >/dev/null &&
        [[ -d /run/systemd/system ]]; then
        systemctl disable --now mosquitto.service
    fi
fi
