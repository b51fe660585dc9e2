# What the tests of the Debian package and of pip's install share: the source folder, the version
# the programs report, commands run under a time limit with their output shown on failure.
import os
import pathlib
import re
import shlex
import subprocess

SOURCE = pathlib.Path(os.environ["DOFMAP_SOURCE_DIR"])
DEMO = SOURCE / "demo" / "img" / "what-is-depth-of-field-1000x605.jpg"
VERSION = re.search(r"^project\(dofmap\s+VERSION\s+([0-9.]+)", (SOURCE / "CMakeLists.txt").read_text(), re.M)[1]


def run(command, timeout=600, **options):
    """Runs `command`, failing the test with its output unless it exits 0."""
    result = subprocess.run([str(word) for word in command], capture_output=True, text=True, timeout=timeout, **options)
    assert result.returncode == 0, f"{shlex.join(map(str, command))} exited {result.returncode}:\n{result.stdout}\n{result.stderr}"
    return result


def plain_environment(**more):
    """The environment a user's shell has: no PYTHONPATH or PYTHONDONTWRITEBYTECODE of the tests."""
    environment = {key: value for key, value in os.environ.items() if key not in ("PYTHONPATH", "PYTHONDONTWRITEBYTECODE")}
    return dict(environment, **more)


# A map of the bundled photo computed by the module, checked against the one dofmap-batch wrote when
# a path is given; prints the module's file and version.
MODULE_SCRIPT = """
import sys
import cv2, numpy, dofmap
photo = dofmap.read(sys.argv[1])
depth_map, max_mean = dofmap.focus_map(photo)
assert depth_map.shape == photo.shape[:2] and depth_map.dtype == numpy.uint8, (depth_map.shape, depth_map.dtype)
assert depth_map.max() == 255 and max_mean > 0, (depth_map.max(), max_mean)
if len(sys.argv) > 2:
    written = cv2.imread(sys.argv[2], cv2.IMREAD_UNCHANGED)
    differ = numpy.count_nonzero(written != depth_map)
    assert differ == 0, f"{differ} pixels differ from {sys.argv[2]}"
print(dofmap.__file__)
print(dofmap.__version__)
"""
