"""Run under an interpreter the module was not built for: importing it must
fail with the version-mismatch ImportError.

usage: check_version_mismatch.py MODULE_FILE BUILT_FOR_VERSION
"""

import os
import shutil
import sys
import tempfile


def main(module_file, built_for):
    with tempfile.TemporaryDirectory() as folder:
        # A plain name bypasses the interpreter's own file-name tag check.
        shutil.copy(module_file, os.path.join(folder, "KorvaPy.so"))
        sys.path.insert(0, folder)
        try:
            import KorvaPy  # noqa: F401
        except ImportError as error:
            expected = ("Python version mismatch: module was compiled for Python %s, but the interpreter "
                        "version is incompatible: %s." % (built_for, sys.version))
            if str(error) != expected:
                print("unexpected message:\n  %s\nexpected:\n  %s" % (error, expected))
                return 1
            print("refused as expected: %s" % error)
            return 0
    print("the module loaded under Python %s" % sys.version)
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
