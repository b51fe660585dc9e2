# The Debian package of `make package` installed by apt-get on this machine, used as a user would
# (the programs on the PATH, the module in Debian's python3, the manual, the completion, the C++
# package), then removed: nothing of it may be left. As root, or with SUDO naming sudo.
import os
import pathlib
import re
import shutil
import subprocess

import pytest

from conftest import DEMO, MODULE_SCRIPT, SOURCE, VERSION, plain_environment, run

PACKAGE_DIR = pathlib.Path(os.environ.get("DOFMAP_PACKAGE_DIR", SOURCE / "build-package"))
SUDO = os.environ.get("SUDO", "").split()


def installed_status():
    """dpkg's status of the package dofmap ('ii' installed), '' when dpkg knows nothing of it."""
    result = subprocess.run(["dpkg-query", "-W", "-f=${db:Status-Abbrev}", "dofmap"], capture_output=True, text=True)
    return result.stdout.strip() if result.returncode == 0 else ""


@pytest.fixture(scope="module")
def installed():
    """Installs the package; gives the paths it installed. Removes it at the end if a test left it."""
    debs = sorted(PACKAGE_DIR.glob("dofmap_*.deb"))
    assert len(debs) == 1, f"{PACKAGE_DIR}: {debs}, not one package (make package makes it)"
    assert installed_status() in ("", "un"), f"dofmap is installed already ({installed_status()}): this test installs and removes it"
    environment = plain_environment(DEBIAN_FRONTEND="noninteractive")
    run([*SUDO, "apt-get", "install", "-y", "--no-install-recommends", debs[0].resolve()], env=environment)
    paths = run(["dpkg-query", "-L", "dofmap"]).stdout.split("\n")
    yield [pathlib.Path(path) for path in paths if path and path != "/."]
    if installed_status().startswith("ii"):
        run([*SUDO, "apt-get", "remove", "-y", "dofmap"], env=environment)


def test_the_programs_on_the_path_map_the_photo_as_the_module_in_debians_python_does(installed, tmp_path):
    assert run(["/usr/bin/dofmap-batch", "--version"]).stdout.split()[-1] == VERSION
    run(["dofmap-batch", "-q", "-o", tmp_path, DEMO], cwd=tmp_path, env=plain_environment())
    written = tmp_path / f"{DEMO.stem}.dof.png"
    assert written.is_file(), sorted(tmp_path.iterdir())
    # A PNG photo, for which the program loads OpenCV's codecs from where the package put them.
    png = tmp_path / "again.png"
    shutil.copyfile(written, png)
    run(["dofmap-batch", "-q", "-o", tmp_path / "maps", png], cwd=tmp_path, env=plain_environment())
    assert (tmp_path / "maps" / "again.dof.png").is_file()
    # As root without PYTHONDONTWRITEBYTECODE, as a user's import: byte code lands beside the files.
    lines = run(["/usr/bin/python3", "-c", MODULE_SCRIPT, DEMO, written], cwd=tmp_path, env=plain_environment()).stdout.split()
    assert lines == ["/usr/lib/python3/dist-packages/dofmap/__init__.py", VERSION], lines


def test_depends_names_the_package_of_every_shared_library_the_programs_and_module_load(installed):
    depends = run(["dpkg-query", "-W", "-f=${Depends}", "dofmap"]).stdout
    named = {re.match(r"\s*([^\s(]+)", relation)[1] for relation in depends.split(",")}
    assert {"python3", "python3-numpy"} <= named, depends
    module = next(path for path in installed if path.name.startswith("_dofmap.") and path.suffix == ".so")
    codecs = [path for path in installed if path.name == "libdofmap-opencv-codecs.so"]
    assert len(codecs) == 2, codecs  # where the programs find it, and the Python package's own
    for binary in (pathlib.Path("/usr/bin/dofmap"), pathlib.Path("/usr/bin/dofmap-batch"), module, *codecs):
        needed = re.findall(r"\(NEEDED\).*\[(.+)\]", run(["readelf", "-d", binary]).stdout)
        # Where the loader finds each (the loader itself is named by its path alone).
        found = {pathlib.Path(path).name: path for path in re.findall(r"(/\S+) \(0x", run(["ldd", binary]).stdout)}
        owners = {package_of(found[library]) for library in needed}
        assert owners <= named, f"{binary}: {sorted(owners - named)} not in Depends: {depends}"


def package_of(library):
    """The package that holds a library, by the path the loader found it at or, where /lib is
    /usr/lib, by the other of the two names dpkg may know it by."""
    for path in (library, re.sub(r"^/usr/lib/", "/lib/", library), re.sub(r"^/lib/", "/usr/lib/", library)):
        result = subprocess.run(["dpkg-query", "-S", path], capture_output=True, text=True)
        if result.returncode == 0:
            return result.stdout.split(":")[0]
    raise AssertionError(f"no package holds {library}")


def test_the_manual_completion_and_cxx_package_are_where_debian_looks(installed, tmp_path):
    assert run(["man", "-w", "dofmap-batch"]).stdout.strip() == "/usr/share/man/man1/dofmap-batch.1"
    assert run(["man", "-w", "dofmap"]).stdout.strip() == "/usr/share/man/man1/dofmap.1"
    completion = "/usr/share/bash-completion/completions/dofmap-batch"
    run(["bash", "--norc", "--noprofile", "-c", f"source {completion} && complete -p dofmap-batch"])
    environment = plain_environment()
    environment.pop("PKG_CONFIG_PATH", None)
    prefix = run(["pkg-config", "--variable=prefix", "dofmap"], env=environment).stdout.strip()
    assert os.path.realpath(prefix) == "/usr", prefix
    build = tmp_path / "consumer"
    run(["cmake", "-S", SOURCE / "tests" / "consumer", "-B", build, "-DCMAKE_BUILD_TYPE=Release"], env=environment)
    run(["cmake", "--build", build], env=environment)
    max_mean = float(run([build / "dofmap_consumer", DEMO, tmp_path / "map.png"]).stdout)
    assert max_mean > 0


def test_removing_the_package_leaves_none_of_its_files_or_folders(installed):
    run([*SUDO, "apt-get", "remove", "-y", "dofmap"], env=plain_environment(DEBIAN_FRONTEND="noninteractive"))
    assert installed_status() in ("", "un"), installed_status()
    # Folders the package shares with others (/usr/bin) stay; those of its own name go.
    left = [path for path in installed if path.is_file() or (path.is_dir() and "dofmap" in path.name)]
    assert not left, f"left after apt-get remove: {left} {[sorted(map(str, p.iterdir())) for p in left if p.is_dir()]}"
