# Type stubs of the compiled module dofmap._dofmap, whose names dofmap exports.
import os
from typing import NamedTuple, Optional, Union

import numpy as np
import numpy.typing as npt

_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]

__version__: str
WINDOW: int
SIGMA: float

class Statistics(NamedTuple):
    max_mean: float
    mean_mean: float
    p90_mean: float

class CullFigures(NamedTuple):
    noise: float
    corrected_max_mean: float
    detail_ratio: float
    motion: float

# An OSError with errno (None for reasons that are not the system's) and filename set; for "no such
# file", "permission denied" and "is a folder" also a FileNotFoundError, PermissionError and
# IsADirectoryError.
class ReadError(OSError):
    path: str
    reason: str
    def __init__(self, errno: int | None, reason: str, path: str) -> None: ...

# rgb=True: the photo holds RGB, and a BGR copy of it is computed on. Every figure treats the three
# channels alike, so each function gives the same results either way; the flag costs only the copy.
def focus_map(
    photo: npt.NDArray[np.uint8], *, window: int = 30, sigma: float = 1.5, rgb: bool = False
) -> tuple[npt.NDArray[np.uint8], float]: ...
def means(
    photo: npt.NDArray[np.uint8], *, window: int = 30, sigma: float = 1.5, rgb: bool = False
) -> npt.NDArray[np.float32]: ...
def statistics(
    photo: npt.NDArray[np.uint8], *, window: int = 30, sigma: float = 1.5, rgb: bool = False
) -> Statistics: ...
def cull_figures(
    photo: npt.NDArray[np.uint8], *, window: int = 30, sigma: float = 1.5, rgb: bool = False
) -> CullFigures: ...
def read(path: _Path, *, raw_preview: bool = False) -> npt.NDArray[np.uint8]: ...
def _batch_record(
    path: _Path, *, companion: Optional[_Path] = None, raw_preview: bool = False, window: int = 30, sigma: float = 1.5
) -> str: ...
def _plan(
    inputs: list[_Path], *, recursive: bool = False
) -> tuple[list[tuple[bytes, Optional[bytes]]], list[tuple[bytes, str]]]: ...
