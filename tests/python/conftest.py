# What the tests of the installed package share: where it is installed, the batch program run on
# photos made here, and comparisons that name the first pixel that differs.
import json
import os
import pathlib
import subprocess

import cv2
import numpy as np
import pytest

PREFIX = pathlib.Path(os.environ["DOFMAP_PREFIX"])
SOURCE = pathlib.Path(os.environ["DOFMAP_SOURCE_DIR"])
BATCH = PREFIX / "bin" / "dofmap-batch"
DEMO = SOURCE / "demo" / "img" / "what-is-depth-of-field-1000x605.jpg"


def synthetic_photo(seed, height, width):
    """A photo of sharp-edged colored rectangles on a gradient, one of them filled with noise and a
    part of it blurred: maps with fine detail, edges and smooth areas."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width]
    photo = np.stack([x * 255 // max(width - 1, 1), y * 255 // max(height - 1, 1), (x + 2 * y) % 256], axis=2)
    photo = photo.astype(np.uint8)
    for _ in range(8):
        top, left = rng.integers(0, height), rng.integers(0, width)
        bottom, right = top + rng.integers(1, height // 2 + 2), left + rng.integers(1, width // 2 + 2)
        photo[top:bottom, left:right] = rng.integers(0, 256, 3)
    top, left = rng.integers(0, max(height - 8, 1)), rng.integers(0, max(width - 8, 1))
    block = photo[top : top + height // 3 + 1, left : left + width // 3 + 1]
    block[...] = rng.integers(0, 256, block.shape)
    if height > 20 and width > 20:
        photo[: height // 2, : width // 2] = cv2.GaussianBlur(photo[: height // 2, : width // 2], (0, 0), 3)
    return photo


def run_batch(*arguments):
    """dofmap-batch with `arguments`; fails the test on an unexpected exit status."""
    return subprocess.run([str(BATCH), "-q", *map(str, arguments)], capture_output=True, text=True, timeout=300)


def json_records(output):
    return [json.loads(line) for line in output.splitlines()]


def assert_same_pixels(actual, expected, what):
    assert actual.shape == expected.shape, f"{what}: shape {actual.shape}, expected {expected.shape}"
    assert actual.dtype == expected.dtype, f"{what}: dtype {actual.dtype}, expected {expected.dtype}"
    differ = np.argwhere(actual != expected)
    if len(differ):
        at = tuple(differ[0])
        pytest.fail(f"{what}: {len(differ)} pixels differ, the first at {at}: {actual[at]} instead of {expected[at]}")


class ProgramResults:
    """The photos of a folder made here (PNG and JPEG, of several sizes, and the demo photo) and
    what dofmap-batch wrote and printed for them: map, means and figures."""

    def __init__(self, folder):
        self.folder = folder
        self.photos = []
        sizes = [(240, 320), (97, 131), (1, 1), (1, 45), (45, 1), (20, 20)]
        for seed, (height, width) in enumerate(sizes):
            photo = synthetic_photo(seed, height, width)
            for extension, parameters in ((".png", []), (".jpg", [cv2.IMWRITE_JPEG_QUALITY, 90])):
                path = folder / f"photo{seed}-{height}x{width}-{extension[1:]}{extension}"
                assert cv2.imwrite(str(path), photo, parameters)
                self.photos.append(path)
        demo = folder / DEMO.name
        demo.write_bytes(DEMO.read_bytes())
        self.photos.append(demo)
        output = folder / "out"
        result = run_batch("--means", "--json", "-o", output, *self.photos)
        assert result.returncode == 0, result.stderr
        self.records = {pathlib.Path(record["path"]): record for record in json_records(result.stdout)}
        self.output = output

    def map(self, photo):
        return cv2.imread(str(self.output / (photo.stem + ".dof.png")), cv2.IMREAD_UNCHANGED)

    def means(self, photo):
        return cv2.imread(str(self.output / (photo.stem + ".means.tif")), cv2.IMREAD_UNCHANGED)


@pytest.fixture(scope="session")
def program_results(tmp_path_factory):
    return ProgramResults(tmp_path_factory.mktemp("photos"))
