# dofmap.dask on a local cluster of two worker processes: its table row for row the records of
# dofmap-batch --no-map --json, for a folder tree and for a list of paths with unreadable ones.
import json
import math
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

import cv2
import numpy as np
import distributed
import pandas
import pytest

import dofmap.dask
from conftest import PREFIX, json_records, run_batch, synthetic_photo


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster, distributed.Client(cluster) as client:
        yield client


@pytest.fixture(scope="module")
def shoot(tmp_path_factory):
    """A folder tree: photos at the top and below, unreadable ones, what is not taken (a text file, a
    hidden folder's photo, an earlier map), and a RAW+JPEG shot figured from its JPEG (its RAW file
    is not read)."""
    root = tmp_path_factory.mktemp("shoot")
    for folder in ("day1", "day1/raw", "day2", ".trash"):
        (root / folder).mkdir()
    for seed, name in enumerate(["a.png", "day1/b.jpg", "day1/raw/c.png", "day2/d.JPG", "day2/e.png", ".trash/f.png"]):
        cv2.imwrite(str(root / name), synthetic_photo(40 + seed, 60 + 10 * seed, 80))
    (root / "day2/empty.jpg").write_bytes(b"")
    (root / "day2/truncated.png").write_bytes((root / "a.png").read_bytes()[:300])
    (root / "notes.txt").write_text("not a photo\n")
    cv2.imwrite(str(root / "day1/b.dof.png"), synthetic_photo(1, 10, 10))
    (root / "day1/b.NEF").write_bytes(b"the shot's RAW file")
    return root


def program_records(*arguments):
    result = run_batch("--no-map", "--json", *arguments)
    assert result.returncode in (0, 1), result.stderr
    return json_records(result.stdout)


def assert_rows_are_records(table, records, columns=dofmap.dask.COLUMNS):
    assert list(table.columns) == columns
    assert len(table) == len(records), f"{len(table)} rows for {len(records)} records"
    for index, (row, record) in enumerate(zip(table.to_dict("records"), records)):
        present = {key: value for key, value in row.items() if not pandas.isna(value)}
        assert present == record, f"row {index}: {present} against the program's {record}"
        for key in ("width", "height", "max_mean", "mean_mean", "p90_mean"):
            assert ("error" in record) == pandas.isna(row[key]), f"row {index} {key}: {row[key]}"


def test_the_figures_of_a_folder_tree_are_the_programs(client, shoot):
    with distributed.get_task_stream(client) as tasks:
        table = dofmap.dask.figures(shoot, client)
    records = program_records("-r", shoot)
    assert_rows_are_records(table, records)
    assert sum("error" in record for record in records) == 2
    assert len(records) == 7
    assert table["companion"].dropna().tolist() == [str(shoot / "day1/b.NEF")]
    assert str(table.dtypes["width"]) == "Int64" and str(table.dtypes["max_mean"]) == "float64"
    workers = {task["worker"] for task in tasks.data}
    assert workers and workers <= set(client.scheduler_info()["workers"])


def test_culling_over_the_workers_judges_as_the_program(client, shoot, tmp_path):
    # A burst of three frames of one scene, the last blurred: judged against the scene's sharpest.
    frame = synthetic_photo(7, 240, 320)
    for index, photo in enumerate([frame, np.roll(frame, 3, axis=1), cv2.GaussianBlur(frame, (0, 0), 2.5)]):
        cv2.imwrite(str(tmp_path / f"burst{index}.png"), photo)
    for inputs in ([shoot], [tmp_path]):
        table = dofmap.dask.figures(inputs, client, cull=True)
        assert_rows_are_records(table, program_records("-r", "--cull", *inputs), dofmap.dask.CULL_COLUMNS)
    assert table["verdict"].tolist() == ["sharp", "sharp", "blurry"]
    assert table["scene"].nunique() == 1


def test_a_list_of_paths_with_a_folder_and_missing_photos(client, shoot):
    inputs = [shoot / "day2/e.png", shoot / "day1", shoot / "gone.jpg", shoot / "day2/empty.jpg"]
    table = dofmap.dask.figures(inputs, client, recursive=False, window=9, sigma=2.0)
    records = program_records("--window", 9, "--sigma", 2.0, *inputs)
    assert_rows_are_records(table, records)
    assert table["error"].tolist()[-2:] == ["no such file", "not an image"]
    assert math.isnan(table["error"][0])


def test_the_default_client_is_taken_when_none_is_given(client, shoot):
    table = dofmap.dask.figures([shoot / "a.png"])
    assert_rows_are_records(table, program_records(shoot / "a.png"))


def test_nothing_to_figure_and_a_photo_given_twice(client, shoot):
    empty = dofmap.dask.figures([], client)
    assert list(empty.columns) == dofmap.dask.COLUMNS and len(empty) == 0
    with pytest.raises(ValueError, match="given twice"):
        dofmap.dask.figures([shoot / "a.png", shoot / "." / "a.png"], client)


def test_paths_that_are_not_utf8_name_their_files(client, tmp_path):
    folder = os.fsencode(tmp_path)
    names = [b"a\xff.png", b"a\xfe.png", "\u00e9t\u00e9.png".encode()]
    for seed, name in enumerate(names):
        ok, encoded = cv2.imencode(".png", synthetic_photo(seed, 30, 40))
        with open(os.path.join(folder, name), "wb") as file:
            file.write(encoded.tobytes())
    paths = sorted(os.path.join(folder, name) for name in names)
    records = program_records(tmp_path)
    assert [os.fsencode(record["path"]) for record in records] == paths
    table = dofmap.dask.figures(tmp_path, client)
    assert_rows_are_records(table, records)
    assert table["path"].tolist() == [os.fsdecode(path) for path in paths]


def test_folders_that_cannot_be_read_give_warnings():
    """A folder below the one given and one given, which cannot be read: a warning each, the photos
    of the others listed. Run as another user when the tests run as root, for whom permissions do
    not apply, in a folder that user may enter (pytest's are private) with a copy of the package."""
    work = pathlib.Path(tempfile.mkdtemp(prefix="dofmap-folders"))
    locked = [work / "shoot/a-locked", work / "closed"]
    try:
        work.chmod(0o755)
        shutil.copytree(PREFIX / "lib/python3/dist-packages/dofmap", work / "site/dofmap")
        for name in ("shoot/a-locked/1.png", "shoot/b/2.png", "closed/3.png"):
            (work / name).parent.mkdir(parents=True, exist_ok=True)
            cv2.imwrite(str(work / name), synthetic_photo(1, 20, 20))
        for folder in locked:
            folder.chmod(0)
        script = (
            "import json, sys, warnings, dofmap.dask\n"
            "with warnings.catch_warnings(record=True) as caught:\n"
            "    warnings.simplefilter('always')\n"
            "    listed = dofmap.dask.photos(['shoot', 'closed'])\n"
            "print(json.dumps([[p.decode() for p in listed],\n"
            "    [[w.category.__name__, str(w.message), w.message.path, w.message.reason] for w in caught]]))\n"
        )
        command = [sys.executable, "-c", script]
        if os.geteuid() == 0:
            command = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", *command]
        environment = dict(os.environ, PYTHONPATH=str(work / "site"), HOME=str(work))
        result = subprocess.run(command, cwd=work, env=environment, capture_output=True, text=True, timeout=120)
        assert result.returncode == 0, result.stderr
        listed, warned = json.loads(result.stdout)
        assert listed == ["shoot/b/2.png"]
        assert warned == [
            ["UnreadableFolderWarning", f"cannot read folder {folder}: permission denied", folder, "permission denied"]
            for folder in ("shoot/a-locked", "closed")
        ]
    finally:
        for folder in locked:
            folder.chmod(0o755)
        shutil.rmtree(work)
