#!/usr/bin/env bash
# Installs the Debian packages the build needs, and only those missing.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python.sh

packages=(cmake g++ make libgtest-dev libbenchmark-dev pybind11-dev python3-dev python3-wheel-whl clang
          libclang-rt-14-dev clang-format socat ser2net tshark mosquitto mosquitto-clients python3-paho-mqtt
          python3-tomli openssl
          gcc-arm-none-eabi libnewlib-arm-none-eabi binutils-arm-none-eabi qemu-system-arm
          gcc-avr binutils-avr avr-libc simavr libsimavr-dev libelf-dev pkg-config chromium)
missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    sudo_cmd=()
    if [[ $(id -u) -ne 0 ]]; then
        sudo_cmd=(sudo)
    fi
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi

# pip builds wheels with the `wheel` package, which pyenv's 3.9 lacks; Debian
# ships it as a wheel file, installed here without reaching any index.
if [[ -x $KORVA_PYTHON ]] && ! "$KORVA_PYTHON" -c "import wheel" 2>/dev/null; then
    "$KORVA_PYTHON" -m pip install --no-index --quiet --root-user-action=ignore /usr/share/python-wheels/wheel-*.whl
fi

# The gateway's MQTT client is Debian's python3-paho-mqtt, and schemas in
# TOML need python3-tomli below Python 3.11. Pyenv's 3.9 gets the same files
# as wheels built here from Debian's installed copies, with the interpreter's
# own setuptools and without reaching any index.
for wheel in "python3-paho-mqtt paho-mqtt paho paho.mqtt.client" "python3-tomli tomli tomli tomli"; do
    read -r debian_package distribution package_dir module <<< "$wheel"
    if [[ -x $KORVA_PYTHON ]] && ! "$KORVA_PYTHON" -c "import $module" 2>/dev/null; then
        bash scripts/debian_wheel.sh "$KORVA_PYTHON" "$debian_package" "$distribution" "$package_dir"
    fi
done

# The dashboard's browser libraries and its test driver come from the npm
# lock file; npm ci runs again only when the lock is newer than what it
# installed. The test drives Debian's chromium, so no browser is downloaded.
dashboard=tools/dashboard
if [[ ! $dashboard/node_modules/.package-lock.json -nt $dashboard/package-lock.json ]]; then
    (cd "$dashboard" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund)
fi
