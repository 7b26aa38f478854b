#!/usr/bin/env bash
# Installs a pure-Python Debian package (python3-paho-mqtt, python3-tomli)
# into another interpreter (pyenv's 3.9) without any package index: the
# installed files are packed into a wheel with that interpreter's own
# setuptools, and pip installs the wheel.
# Usage: scripts/debian_wheel.sh PYTHON DEBIAN_PACKAGE DISTRIBUTION PACKAGE_DIR
#   e.g. scripts/debian_wheel.sh "$KORVA_PYTHON" python3-tomli tomli tomli
set -euo pipefail
python=$1
debian_package=$2
distribution=$3
package_dir=$4
source_dir=/usr/lib/python3/dist-packages
version=$(dpkg-query -W -f='${Version}' "$debian_package")
version=${version%%-*}  # the upstream version, without Debian's revision

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$source_dir/$package_dir" "$work/"
find "$work/$package_dir" -name __pycache__ -prune -exec rm -rf {} +
cat > "$work/setup.py" <<SETUP
from setuptools import find_packages, setup
setup(name="$distribution", version="$version", packages=find_packages(), zip_safe=False)
SETUP
(cd "$work" && "$python" setup.py -q bdist_wheel --dist-dir "$work/dist" >/dev/null)
"$python" -m pip install --no-index --quiet --root-user-action=ignore "$work"/dist/*.whl
