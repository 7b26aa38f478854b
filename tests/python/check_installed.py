"""Install KorvaPy into a temporary folder, the CMake way or the pip way,
then import it from there in a fresh interpreter and send one frame.

usage: check_installed.py cmake BUILD_DIR SITE_DIR
       check_installed.py pip SOURCE_DIR
"""

import os
import subprocess
import sys
import tempfile

PROBE = r"""
import os, sys
import KorvaPy, _korva_link, korva
folder = sys.argv[1]
for module in (KorvaPy, _korva_link):
    assert os.path.dirname(module.__file__) == folder, module.__file__
assert os.path.dirname(korva.__file__) == os.path.join(folder, "korva"), korva.__file__
assert os.path.exists(os.path.join(folder, "KorvaPy.pyi"))
from korva import dashboard, schema
assert dashboard.missing_files() == [], dashboard.missing_files()
assert os.path.dirname(schema.__file__) == os.path.join(folder, "korva", "schema"), schema.__file__
assert schema.parse({"format": 1, "name": "probe", "revision": 1}).messages == ()

class Probe(KorvaPy.KORVA_PUBLIC):
    def __write__(self, buffer, length):
        self.frame = buffer
        return KorvaPy.KORVA_STATUS_SUCCESS

node = Probe(14)
assert node.write(3, 5, [1, 2], 2) == KorvaPy.KORVA_STATUS_SUCCESS
assert node.frame == [0xFB, 0x02, 0xE3, 0x14, 0x01, 0x02, 0xF3, 0xEF, 0xBF], node.frame
a, b = korva.pipe_pair(14, 3)
assert a.write(3, 5, [1, 2], 2) == KorvaPy.KORVA_STATUS_SUCCESS
assert b.poll(5.0) == KorvaPy.KORVA_STATUS_SUCCESS
print("imported from", folder, "and sent", " ".join("%02X" % b for b in node.frame))
"""


def probe(folder):
    environment = dict(os.environ, PYTHONPATH=folder)
    subprocess.run([sys.executable, "-c", PROBE, folder], env=environment, check=True, cwd="/")
    for command in ([], ["gateway"], ["schema", "check"]):
        subprocess.run([sys.executable, "-m", "korva"] + command + ["--help"], env=environment, check=True, cwd="/",
                       stdout=subprocess.DEVNULL)


def main(way, *paths):
    with tempfile.TemporaryDirectory() as staging:
        if way == "cmake":
            build_dir, site_dir = paths
            environment = dict(os.environ, DESTDIR=staging)
            subprocess.run(["cmake", "--install", build_dir], env=environment, check=True)
            probe(staging + site_dir)
        else:
            (source_dir,) = paths
            subprocess.run([sys.executable, "-m", "pip", "install", "--no-build-isolation", "--no-index",
                            "--root-user-action=ignore", "--target", staging, source_dir], check=True)
            probe(staging)
            subprocess.run([os.path.join(staging, "bin", "korva"), "--help"], check=True, stdout=subprocess.DEVNULL,
                           env=dict(os.environ, PYTHONPATH=staging))


if __name__ == "__main__":
    main(*sys.argv[1:])
