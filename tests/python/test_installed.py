# What the install puts under the prefix besides the module: consumers of the C++ libraries by
# CMake and pkg-config, headers that stand alone, the man pages and bash completion.
import os
import re
import shlex
import subprocess
import sys

import cv2
import pytest

import dofmap
from conftest import BATCH, DEMO, PREFIX, SOURCE, assert_same_pixels, synthetic_photo

CONSUMER = SOURCE / "tests" / "consumer"


def run(command, **options):
    result = subprocess.run(command, capture_output=True, text=True, timeout=600, **options)
    assert result.returncode == 0, f"{shlex.join(map(str, command))}:\n{result.stdout}\n{result.stderr}"
    return result


def test_the_module_imports_from_the_prefix(tmp_path):
    environment = dict(os.environ, PYTHONPATH=str(PREFIX / "lib/python3/dist-packages"))
    script = "import dofmap, dofmap.dask; print(dofmap.__file__); print(dofmap.__version__)"
    lines = run([sys.executable, "-c", script], cwd=tmp_path, env=environment).stdout.splitlines()
    assert lines[0].startswith(str(PREFIX)), lines[0]
    assert run([str(BATCH), "--version"]).stdout.split()[-1] == lines[1]
    assert (PREFIX / "lib/python3/dist-packages/dofmap/_dofmap.pyi").is_file()


def pkg_config(*arguments):
    environment = dict(os.environ, PKG_CONFIG_PATH=str(PREFIX / "lib/pkgconfig"))
    return shlex.split(run(["pkg-config", *arguments, "dofmap"], env=environment).stdout)


def build_by_cmake(folder):
    build = folder / "build"
    run(["cmake", "-S", CONSUMER, "-B", build, f"-DCMAKE_PREFIX_PATH={PREFIX}", "-DCMAKE_BUILD_TYPE=Release"])
    run(["cmake", "--build", build])
    return build / "dofmap_consumer"


def build_by_pkg_config(folder):
    program = folder / "dofmap_consumer"
    flags = pkg_config("--static", "--cflags", "--libs")
    run(["g++", "-std=c++17", "-O2", CONSUMER / "consumer.cpp", "-o", program, *flags])
    return program


@pytest.mark.parametrize("build", [build_by_cmake, build_by_pkg_config], ids=["cmake", "pkg-config"])
def test_a_consumer_builds_against_the_install_and_maps_as_the_module_does(tmp_path, build):
    program = build(tmp_path)
    photo = tmp_path / "photo.png"
    cv2.imwrite(str(photo), synthetic_photo(31, 150, 210))
    for source in (photo, DEMO):
        written = tmp_path / f"{source.stem}.map.png"
        max_mean = float(run([program, source, written]).stdout)
        expected_map, expected_max = dofmap.focus_map(dofmap.read(source))
        assert_same_pixels(cv2.imread(str(written), cv2.IMREAD_UNCHANGED), expected_map, f"map of {source.name}")
        assert max_mean == expected_max
    failed = subprocess.run([program, tmp_path / "missing.jpg", tmp_path / "x.png"], capture_output=True, text=True)
    assert failed.returncode == 1 and "no such file" in failed.stderr


def test_every_public_header_compiles_on_its_own(tmp_path):
    flags = pkg_config("--cflags")
    headers = sorted((PREFIX / "include/dofmap").glob("*.hpp"))
    assert {header.name for header in headers} >= {"focus_map.hpp", "image_io.hpp"}
    for header in headers:
        source = tmp_path / f"{header.stem}.cpp"
        source.write_text(f"#include <dofmap/{header.name}>\n")
        run(["g++", "-std=c++17", "-fsyntax-only", "-Wall", "-Werror", source, *flags])


def batch_options():
    """The options dofmap-batch --help lists."""
    help_text = run([str(BATCH), "--help"]).stdout
    return set(re.findall(r"(?<![\w-])(--?[a-z][a-z0-9-]*)", help_text.split("Options:", 1)[1]))


def help_options():
    """Each option of dofmap-batch --help (its short and long names) with the value it takes: None
    for a flag, its choices ('adobe|full') where it lists them, otherwise '' for any value."""
    help_text = run([str(BATCH), "--help"]).stdout.split("Options:", 1)[1]
    options = {}
    for short, long, token in re.findall(r"^  (?:(-\w),)?(--[\w-]+)(?: ([A-Z]+(?=[:\s]|$)\S*))?", help_text, re.M):
        choices = re.search(r"\{([^}]*)\}", token or "")
        value = None if not token else choices[1].replace(",", "|") if choices else ""
        options[(short, long)] = value
    return options


def page_options(page):
    """Each option the OPTIONS section of a man page lists in its tags, as help_options gives them:
    the choices as the tag names them ('adobe|full'), '' for a value named in italics."""
    section = re.search(r"^\.SH OPTIONS\n(.*?)^\.SH ", page, re.M | re.S)[1]
    options = {}
    for tag in re.findall(r"^\.TP\n(.*)$", section, re.M):
        plain = re.sub(r"\\f[BIRP]", "", tag.replace("\\-", "-"))
        short, long, value = re.fullmatch(r"(?:(-\w), )?(--[\w-]+)(?: (\S+))?", plain).groups()
        options[(short or "", long)] = value if value is None or "|" in value else ""
    return options


def test_the_man_pages_are_written_as_man_pages_and_list_every_option_of_the_help():
    pages = PREFIX / "share/man/man1"
    version = run([str(BATCH), "--version"]).stdout.split()[-1]
    for name in ("dofmap.1", "dofmap-batch.1"):
        page = (pages / name).read_text()
        title = re.search(r"^\.TH .*$", page, re.M)[0]
        assert f'"dofmap {version}"' in title, f"{name}: {title}, not of version {version}"
        sections = re.findall(r"^\.SH \"?([A-Z ]+)", page, re.M)
        wanted = ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "FILES", "EXAMPLES", "SEE ALSO"]
        assert [section for section in sections if section in wanted] == wanted, f"{name}: {sections}"
        # groff's warnings (unknown macros, lines that cannot be broken) at the width man uses off a terminal.
        environment = dict(os.environ, MANWIDTH="80")
        result = subprocess.run(["man", "--warnings", "-l", pages / name], capture_output=True, text=True,
                                timeout=60, env=environment)
        assert result.returncode == 0 and not result.stderr, f"{name}:\n{result.stderr}"
    batch = (pages / "dofmap-batch.1").read_text()
    assert not re.search(r"TEXT:|INT:|FLOAT:|Needs:|Excludes:", batch), "CLI11's type tokens in the page"
    in_help, in_page = help_options(), page_options(batch)
    assert len(in_help) > 20, in_help
    assert in_page == in_help, f"only in --help: {in_help.items() - in_page.items()}, only in the page: {in_page.items() - in_help.items()}"


def complete(*words, cwd=None):
    """What an interactive bash offers for the command line `dofmap-batch words...`, the last word
    being completed: the installed completion file sourced, the function that `complete -p` names
    called as readline calls it, COMPREPLY one candidate a line, in order. A word "=" stands for the
    = of --option=value, which bash makes a word of its own."""
    script = PREFIX / "share/bash-completion/completions/dofmap-batch"
    command = ("dofmap-batch", *words)
    line = re.sub(r" =( |$)", "=", " ".join(command))
    program = f"""
        source {shlex.quote(str(script))} || exit 1
        [[ $(complete -p dofmap-batch) =~ -F\\ ([^ ]+) ]] || exit 1
        COMP_WORDS=({" ".join(shlex.quote(word) for word in command)})
        COMP_CWORD={len(words)}
        COMP_LINE={shlex.quote(line)}
        COMP_POINT={len(line)}
        "${{BASH_REMATCH[1]}}" dofmap-batch "${{COMP_WORDS[COMP_CWORD]}}" "${{COMP_WORDS[COMP_CWORD-1]}}"
        (( ${{#COMPREPLY[@]}} == 0 )) || printf '%s\\n' "${{COMPREPLY[@]}}"
    """
    return sorted(run(["bash", "--norc", "--noprofile", "-c", program], cwd=cwd).stdout.splitlines())


def test_bash_completion_offers_each_option_and_each_value_as_a_candidate_of_its_own():
    assert complete("-") == sorted(batch_options())
    assert complete("--for") == ["--format"]
    assert complete("--format", "") == ["jpg", "png", "tif"]
    assert complete("--xmp", "--xmp-name", "") == ["adobe", "full"]
    assert complete("--format", "=") == ["jpg", "png", "tif"]
    assert complete("--format", "=", "p") == ["png"]
    assert complete("--pair", "") == ["both", "jpeg", "raw"]
    sorts = ["max_mean", "mean_mean", "p90_mean", "path"]
    assert complete("--sort", "") == sorted(sorts + [f"-{key}" for key in sorts])
    assert complete("--sort", "-p") == ["-p90_mean", "-path"]
    refused = subprocess.run([str(BATCH), "--colormap", "none", "x.jpg"], capture_output=True, text=True)
    known = re.search(r"known: ([a-z_, ]+)", refused.stderr).group(1).replace(",", " ").split()
    assert complete("--colormap", "") == sorted(known)
    for numeric in ("--sigma", "--window", "-j", "--jobs", "--memory", "--reject-below"):
        assert complete(numeric, "") == [], numeric


def test_bash_completion_offers_folders_and_photos_whose_names_hold_spaces_and_brackets(tmp_path):
    (tmp_path / "shoot one").mkdir()
    for name in ("my photo.jpg", "[ab].jpg", "a.jpg"):
        (tmp_path / name).write_bytes(b"")
    assert complete("-o", "", cwd=tmp_path) == ["shoot one"]
    assert complete("--output", "sh", cwd=tmp_path) == ["shoot one"]
    assert complete("", cwd=tmp_path) == ["[ab].jpg", "a.jpg", "my photo.jpg", "shoot one"]
    assert complete("--xmp", "my", cwd=tmp_path) == ["my photo.jpg"]
    assert complete("--report", "[", cwd=tmp_path) == ["[ab].jpg"]
