# `pip install .` of the source folder into a virtual environment that sees Debian's packages
# (setuptools, NumPy), with no package index: the module built by CMake through setup.py, then
# imported from the environment by a script in a folder of its own.
import os
import pathlib

import cv2

from conftest import DEMO, MODULE_SCRIPT, SOURCE, VERSION, plain_environment, run


def test_pip_builds_the_module_into_a_venv_that_maps_the_photo(tmp_path):
    venv = tmp_path / "v"
    run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", venv])
    environment = plain_environment(PIP_NO_INDEX="1", PIP_NO_CACHE_DIR="1", PIP_DISABLE_PIP_VERSION_CHECK="1")
    run([venv / "bin" / "pip", "install", "--no-build-isolation", SOURCE], timeout=1800, env=environment)
    work = tmp_path / "work"
    work.mkdir()
    lines = run([venv / "bin" / "python", "-c", MODULE_SCRIPT, DEMO], cwd=work, env=plain_environment()).stdout.split()
    site_packages = os.path.realpath(venv / "lib")
    assert os.path.realpath(lines[0]).startswith(site_packages) and lines[1] == VERSION, lines
    package = pathlib.Path(lines[0]).parent
    assert {"_dofmap.pyi", "py.typed", "libdofmap-opencv-codecs.so"} <= {path.name for path in package.iterdir()}, sorted(
        package.iterdir())
    # A PNG, for which the module loads OpenCV's codecs from beside itself.
    png = work / "photo.png"
    assert cv2.imwrite(str(png), cv2.imread(str(DEMO)))
    shape = run([venv / "bin" / "python", "-c", "import dofmap, sys; print(*dofmap.read(sys.argv[1]).shape)", png],
                cwd=work, env=plain_environment()).stdout.split()
    assert shape == ["605", "1000", "3"], shape
