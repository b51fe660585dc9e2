"""The figures of many photos on a Dask cluster, as dofmap-batch --no-map --json gives them.

    from distributed import Client
    import dofmap.dask
    client = Client("scheduler:8786")        # or None: the default client, else local processes
    table = dofmap.dask.figures("/photos/shoot", client)
    blurry = table[table.max_mean < 20]

Each row is the JSON record dofmap-batch prints for the photo, computed by the same code on a
worker: columns path, width, height, max_mean, mean_mean, p90_mean (the figures rounded to six
decimals as the program prints them), companion and error. A RAW file and a JPEG or HEIF file of
one stem in one folder are one shot, as dofmap-batch takes them by default (--pair jpeg): its row
is the JPEG's, with the RAW file in companion (NaN for a photo alone). A photo that cannot be read has its reason in
error ("no such file", "not an image", "truncated or corrupt data", ...) and <NA> or NaN in the
other columns; for the photos read, error is NaN. width and height are of pandas' nullable
integer type Int64 for that reason. Rows come in the program's order: the paths as given, the
photos of a folder sorted by path.

Paths are those of the file system: a name's bytes that are not valid UTF-8 are in the path as
os.fsdecode gives them (each byte 0xHH as U+DCHH, Python's surrogateescape), so that
os.fsencode(path) names the file. A folder that cannot be read (its permissions, or removed while it
is walked) is not silent: it gives an UnreadableFolderWarning, "cannot read folder PATH: REASON", as
dofmap-batch prints it, and the photos of the other folders are still listed; turn it into an error
with warnings.simplefilter("error", dofmap.dask.UnreadableFolderWarning).

Every worker must be able to import dofmap and read the paths (a shared file system).
"""

import json
import os
import warnings
from typing import Iterable, Optional, Union

import dask.bag
import pandas

from . import _dofmap

#: The columns of the table: the keys of dofmap-batch --json.
COLUMNS = ["path", "width", "height", "max_mean", "mean_mean", "p90_mean", "companion", "error"]
#: The columns of a table made with cull=True: also the keys of dofmap-batch --json --cull.
CULL_COLUMNS = COLUMNS[:-1] + [
    "verdict",
    "scene",
    "judged_by",
    "cut",
    "noise",
    "corrected_max_mean",
    "detail_ratio",
    "motion",
    "error",
]

_Path = Union[str, bytes, os.PathLike]


class UnreadableFolderWarning(UserWarning):
    """A folder whose photos could not be listed: `path` (as os.fsdecode gives it) and `reason`, the
    system's reason as dofmap-batch gives it ("permission denied", "no such file or directory")."""

    path: str
    reason: str


def _listed(paths: Union[_Path, Iterable[_Path]], recursive: bool, stacklevel: int) -> list:
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    listed, unreadable = _dofmap._plan(list(paths), recursive=recursive)
    for folder, reason in unreadable:
        warning = UnreadableFolderWarning(f"cannot read folder {os.fsdecode(folder)}: {reason}")
        warning.path, warning.reason = os.fsdecode(folder), reason
        warnings.warn(warning, stacklevel=stacklevel + 1)
    return listed


def photos(paths: Union[_Path, Iterable[_Path]], *, recursive: bool = True) -> list:
    """The photos dofmap-batch takes for `paths` (one path or folder, or several), in its order,
    as bytes: a folder's photos by extension, those of the folders below it too when recursive,
    hidden files and folders and the program's own outputs skipped, a RAW+JPEG shot by its JPEG. ValueError when a photo is
    given twice (the same name in the same folder; a link under another name is a photo of its
    own). Each folder that cannot be read gives an UnreadableFolderWarning, and the photos of the
    others are listed."""
    return [path for path, _ in _listed(paths, recursive, stacklevel=2)]


def _record(photo: tuple, raw_preview: bool, window: int, sigma: float) -> dict:
    path, companion = photo
    return json.loads(
        _dofmap._batch_record(path, companion=companion, raw_preview=raw_preview, window=window, sigma=sigma)
    )


def _cull_record(photo: tuple, raw_preview: bool, window: int, sigma: float) -> tuple:
    path, companion = photo
    line, state = _dofmap._cull_record(path, companion=companion, raw_preview=raw_preview, window=window, sigma=sigma)
    return json.loads(line), state


def _judged(record: dict, verdict: Optional[tuple]) -> dict:
    """The record with its verdict of culling, its keys in dofmap-batch --json --cull's order."""
    if verdict is None:
        return record
    blurry, scene, judged_by, cut = verdict
    figures = {key: record.pop(key) for key in ("noise", "corrected_max_mean", "detail_ratio", "motion")}
    record.update(verdict="blurry" if blurry else "sharp", scene=scene, judged_by=judged_by,
                  cut=float("%.6f" % cut))  # as the program prints it
    record.update(figures)
    return record


def figures(
    paths: Union[_Path, Iterable[_Path]],
    client=None,
    *,
    recursive: bool = True,
    raw_preview: bool = False,
    window: int = _dofmap.WINDOW,
    sigma: float = _dofmap.SIGMA,
    partitions: Optional[int] = None,
    cull: bool = False,
) -> pandas.DataFrame:
    """The figures of the photos of `paths` (see photos()) computed over Dask, one row per photo.

    client: a distributed.Client to run on; None for Dask's default scheduler (the default
    client when there is one, else local processes). raw_preview, window and sigma are
    dofmap-batch's --raw-preview, --window and --sigma. partitions: how many tasks the photos are
    split into (default: one per photo, at most 1024). The rows equal the records of
    `dofmap-batch -r --no-map --json PATHS` (without -r when recursive is False); a folder that
    cannot be read gives an UnreadableFolderWarning, as in photos().

    cull=True judges the photos as dofmap-batch --cull does: the workers figure each photo, and the
    photos are grouped into scenes and judged here once all are figured (judging needs the whole
    shoot). The table then has the columns CULL_COLUMNS, its rows those of
    `dofmap-batch -r --no-map --json --cull PATHS`."""
    listed = _listed(paths, recursive, stacklevel=2)
    if not listed:
        return _table([], cull)
    count = partitions or min(len(listed), 1024)
    bag = dask.bag.from_sequence(listed, npartitions=count).map(
        _cull_record if cull else _record, raw_preview=raw_preview, window=window, sigma=sigma
    )
    records = bag.compute() if client is None else client.compute(bag).result()
    if cull:
        verdicts = _dofmap._cull_verdicts([state for _, state in records])
        records = [_judged(record, verdict) for (record, _), verdict in zip(records, verdicts)]
    return _table(records, cull)


def _table(records: list, cull: bool = False) -> pandas.DataFrame:
    table = pandas.DataFrame.from_records(records, columns=CULL_COLUMNS if cull else COLUMNS)
    table["path"] = table["path"].astype(object)
    table["companion"] = table["companion"].astype(object)
    for column in ("width", "height"):
        table[column] = table[column].astype("Int64")
    for column in ("max_mean", "mean_mean", "p90_mean"):
        table[column] = table[column].astype("float64")
    if cull:
        table["scene"] = table["scene"].astype("Int64")
        for column in ("cut", "noise", "corrected_max_mean", "detail_ratio", "motion"):
            table[column] = table[column].astype("float64")
    return table
