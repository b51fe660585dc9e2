"""Depth-of-field maps of photographs: bright where a photo holds fine detail, dark where it is smooth.

The map is the mean color distance between a photo and its Gaussian blur (sigma 1.5) over the
30 x 30 neighborhood of every pixel, scaled so that the largest mean is 255: pixel for pixel the map
of the dofmap-batch program.

    import cv2, dofmap
    depth_map, max_mean = dofmap.focus_map(cv2.imread("photo.jpg"))
    cv2.imwrite("photo.dof.png", depth_map)

The computation releases the GIL: threads compute maps in parallel, and Ctrl-C interrupts a long
call (KeyboardInterrupt). dofmap.read raises ReadError, an OSError (a FileNotFoundError for a
missing file). dofmap.dask figures many photos on a Dask cluster.
"""

from ._dofmap import (
    SIGMA,
    WINDOW,
    CullFigures,
    ReadError,
    Statistics,
    __version__,
    cull_figures,
    focus_map,
    means,
    read,
    statistics,
)

__all__ = [
    "SIGMA",
    "WINDOW",
    "CullFigures",
    "ReadError",
    "Statistics",
    "__version__",
    "cull_figures",
    "focus_map",
    "means",
    "read",
    "statistics",
]
