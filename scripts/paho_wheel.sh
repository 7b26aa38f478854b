#!/usr/bin/env bash
# Installs Debian's python3-paho-mqtt into another interpreter (pyenv's 3.9)
# without any package index: the installed files are packed into a wheel
# with that interpreter's own setuptools, and pip installs the wheel.
# Usage: scripts/paho_wheel.sh PYTHON
set -euo pipefail
python=$1
source_dir=/usr/lib/python3/dist-packages
version=$(dpkg-query -W -f='${Version}' python3-paho-mqtt)
version=${version%%-*}  # the upstream version, without Debian's revision

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$source_dir/paho" "$work/"
find "$work/paho" -name __pycache__ -prune -exec rm -rf {} +
cat > "$work/setup.py" <<SETUP
from setuptools import find_packages, setup
setup(name="paho-mqtt", version="$version", packages=find_packages(), zip_safe=False)
SETUP
(cd "$work" && "$python" setup.py -q bdist_wheel --dist-dir "$work/dist" >/dev/null)
"$python" -m pip install --no-index --quiet --root-user-action=ignore "$work"/dist/paho_mqtt-*.whl
