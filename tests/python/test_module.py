# The Python module against the batch program on photos made here: maps and means pixel for pixel,
# figures, the readers' reasons; how arrays are taken (RGB, views, wrong ones); threads at once.
import errno
import os
import pickle
import signal
import subprocess
import sys
import threading
import time
import tracemalloc

import cv2
import numpy as np
import pytest

import dofmap
from conftest import DEMO, assert_same_pixels, json_records, run_batch, synthetic_photo

READERS = {"cv2": lambda path: cv2.imread(str(path), cv2.IMREAD_COLOR), "dofmap": dofmap.read}


def test_the_readers_agree_on_these_photos(program_results):
    for photo in program_results.photos:
        assert_same_pixels(READERS["cv2"](photo), dofmap.read(photo), photo.name)


@pytest.mark.parametrize("reader", READERS)
def test_maps_means_and_figures_equal_the_programs(program_results, reader):
    for photo in program_results.photos:
        pixels = READERS[reader](photo)
        depth_map, max_mean = dofmap.focus_map(pixels)
        assert_same_pixels(depth_map, program_results.map(photo), f"map of {photo.name}")
        assert_same_pixels(dofmap.means(pixels), program_results.means(photo), f"means of {photo.name}")
        record = program_results.records[photo]
        figures = dofmap.statistics(pixels)
        assert figures.max_mean == max_mean
        for key, value in zip(("max_mean", "mean_mean", "p90_mean"), figures):
            # The program prints six decimals.
            assert abs(value - record[key]) <= 5e-7, f"{photo.name} {key}: {value} against {record[key]}"
        assert (record["width"], record["height"]) == (pixels.shape[1], pixels.shape[0])


def test_the_map_is_the_means_scaled_to_the_largest():
    photo = synthetic_photo(11, 64, 80)
    depth_map, max_mean = dofmap.focus_map(photo)
    means = dofmap.means(photo).astype(np.float64)
    assert abs(means.max() - max_mean) <= 1e-6 * max_mean
    assert depth_map.max() == 255
    # The means are within a float's rounding of the exact ones the map is made of.
    off = np.abs(means / max_mean * 255.0 - depth_map)
    worst = np.unravel_index(np.argmax(off), off.shape)
    assert off[worst] <= 0.5 + 1e-4, f"at {worst}: gray {depth_map[worst]}, mean {means[worst]} of {max_mean}"


def test_window_and_sigma_reach_the_computation(tmp_path):
    photo = synthetic_photo(5, 90, 70)
    path = tmp_path / "photo.png"
    cv2.imwrite(str(path), photo)
    result = run_batch("--window", 7, "--sigma", 2.5, "--means", "-o", tmp_path / "out", path)
    assert result.returncode == 0, result.stderr
    depth_map, _ = dofmap.focus_map(photo, window=7, sigma=2.5)
    assert_same_pixels(depth_map, cv2.imread(str(tmp_path / "out/photo.dof.png"), cv2.IMREAD_UNCHANGED), "map")
    means = dofmap.means(photo, window=7, sigma=2.5)
    assert_same_pixels(means, cv2.imread(str(tmp_path / "out/photo.means.tif"), cv2.IMREAD_UNCHANGED), "means")
    assert not np.array_equal(depth_map, dofmap.focus_map(photo)[0])


def test_rgb_arrays_give_the_maps_of_their_bgr_photos():
    photo = synthetic_photo(3, 70, 90)
    rgb = np.ascontiguousarray(photo[:, :, ::-1])
    assert_same_pixels(dofmap.focus_map(rgb, rgb=True)[0], dofmap.focus_map(photo)[0], "map")
    assert_same_pixels(dofmap.means(rgb, rgb=True), dofmap.means(photo), "means")
    assert dofmap.statistics(rgb, rgb=True) == dofmap.statistics(photo)


VIEWS = {
    "crop": (lambda photo: photo[7:150, 11:200], False),
    "every other pixel": (lambda photo: photo[::2, ::3], False),
    "upside down": (lambda photo: photo[::-1], False),
    "column-major": (lambda photo: np.asfortranarray(photo), False),
    "channels reversed": (lambda photo: photo[:, :, ::-1], True),
    "read-only": (lambda photo: np.frombuffer(photo.tobytes(), np.uint8).reshape(photo.shape), False),
}


@pytest.mark.parametrize("view", VIEWS)
def test_views_give_the_maps_of_their_copies(view):
    photo = synthetic_photo(7, 180, 240)
    make, rgb = VIEWS[view]
    seen = make(photo)
    copy = np.ascontiguousarray(seen[:, :, ::-1] if rgb else seen)
    depth_map, max_mean = dofmap.focus_map(seen, rgb=rgb)
    expected_map, expected_max = dofmap.focus_map(copy, rgb=False)
    assert_same_pixels(depth_map, expected_map, f"map of the {view} view")
    assert max_mean == expected_max
    assert_same_pixels(dofmap.means(seen, rgb=rgb), dofmap.means(copy), f"means of the {view} view")


def peak_python_allocation(function, *arguments):
    tracemalloc.start()
    try:
        function(*arguments)
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def test_arrays_whose_rows_hold_packed_pixels_are_not_copied():
    photo = synthetic_photo(9, 600, 800)
    size = photo[10:590, 10:790].nbytes
    # NumPy's allocations are traced, OpenCV's are not: a copy of the photo would show.
    assert peak_python_allocation(dofmap.focus_map, photo) < size // 10
    assert peak_python_allocation(dofmap.focus_map, photo[10:590, 10:790]) < size // 10
    assert peak_python_allocation(dofmap.focus_map, np.asfortranarray(photo)) >= size


BAD_PHOTOS = {
    "float32": (np.zeros((5, 7, 3), np.float32), "float32"),
    "int16": (np.zeros((5, 7, 3), np.int16), "int16"),
    "bool": (np.zeros((5, 7, 3), bool), "bool"),
    "gray": (np.zeros((5, 7), np.uint8), "(5, 7)"),
    "four channels": (np.zeros((5, 7, 4), np.uint8), "(5, 7, 4)"),
    "one channel": (np.zeros((5, 7, 1), np.uint8), "(5, 7, 1)"),
    "a stack": (np.zeros((2, 5, 7, 3), np.uint8), "(2, 5, 7, 3)"),
    "no rows": (np.zeros((0, 7, 3), np.uint8), "(0, 7, 3)"),
    "no columns": (np.zeros((5, 0, 3), np.uint8), "(5, 0, 3)"),
}


@pytest.mark.parametrize("function", [dofmap.focus_map, dofmap.means, dofmap.statistics])
@pytest.mark.parametrize("bad", BAD_PHOTOS)
def test_wrong_arrays_are_refused_naming_what_was_given(function, bad):
    photo, named = BAD_PHOTOS[bad]
    with pytest.raises(ValueError) as raised:
        function(photo)
    assert named in str(raised.value)


def test_what_is_not_an_array_and_wrong_parameters_are_refused():
    with pytest.raises(TypeError, match="list"):
        dofmap.focus_map([[[0, 0, 0]]])
    photo = synthetic_photo(1, 10, 10)
    for window in (0, -3, 100001):
        with pytest.raises(ValueError, match="window"):
            dofmap.focus_map(photo, window=window)
    for sigma in (0.0, 0.05, 100.5, float("nan"), float("inf")):
        with pytest.raises(ValueError, match="sigma"):
            dofmap.means(photo, sigma=sigma)
    assert dofmap.focus_map(photo, window=1, sigma=0.1)[0].shape == (10, 10)
    # Integers of any size are ValueErrors naming them; other types short TypeErrors, without the
    # arguments (pybind11 would list the photo's pixels).
    large = synthetic_photo(1, 300, 300)
    for function in (dofmap.focus_map, dofmap.means, dofmap.statistics):
        with pytest.raises(ValueError) as raised:
            function(large, window=2**31)
        assert str(raised.value) == "window must be from 1 to 100000, not 2147483648"
        with pytest.raises(ValueError, match=f"not {10**400}$"):
            function(large, sigma=10**400)
        for argument, value, named in (("window", "30", "str"), ("window", 30.0, "float"), ("sigma", "1.5", "str")):
            with pytest.raises(TypeError) as raised:
                function(large, **{argument: value})
            assert str(raised.value) == f"{argument} must be {'an int' if argument == 'window' else 'a float'}, not {named}"


def test_unreadable_photos_raise_the_programs_reasons(tmp_path):
    encoded = cv2.imencode(".jpg", synthetic_photo(2, 200, 200))[1].tobytes()
    (tmp_path / "truncated.jpg").write_bytes(encoded[: len(encoded) // 3])
    (tmp_path / "empty.jpg").write_bytes(b"")
    (tmp_path / "text.png").write_text("not a picture\n")
    paths = [tmp_path / name for name in ("truncated.jpg", "empty.jpg", "text.png", "missing.jpg")]
    result = run_batch("--no-map", "--json", *paths)
    assert result.returncode == 1
    reasons = {record["path"]: record["error"] for record in json_records(result.stdout)}
    assert len(reasons) == len(paths)
    for path in paths:
        with pytest.raises(dofmap.ReadError) as raised:
            dofmap.read(path)
        error = raised.value
        assert isinstance(error, OSError)
        assert error.reason == reasons[str(path)]
        assert error.path == str(path)
        assert str(path) in str(error) and error.reason in str(error)
    assert reasons[str(tmp_path / "missing.jpg")] == "no such file"
    # The program takes a folder's photos, so it has no reason to give for one: the reader's own.
    with pytest.raises(dofmap.ReadError, match="is a folder"):
        dofmap.read(tmp_path)


def test_read_errors_are_the_oserrors_of_their_reasons(tmp_path):
    (tmp_path / "text.png").write_text("not a picture\n")
    os.mkfifo(tmp_path / "fifo.jpg")  # read, it would block for ever
    kinds = {
        "fifo.jpg": (None, None, "not a regular file"),
        "missing.jpg": (FileNotFoundError, errno.ENOENT, "no such file"),
        "": (IsADirectoryError, errno.EISDIR, "is a folder"),
        "text.png/photo.jpg": (NotADirectoryError, errno.ENOTDIR, "not a directory"),
        "text.png": (None, None, "not an image"),
    }
    for name, (kind, number, reason) in kinds.items():
        path = str(tmp_path / name) if name else str(tmp_path)
        with pytest.raises(dofmap.ReadError) as raised:
            dofmap.read(path)
        error = raised.value
        assert (error.errno, error.filename, error.path, error.reason) == (number, path, path, reason)
        assert str(error) == f"cannot read image {path}: {reason}"
        for other in (FileNotFoundError, IsADirectoryError, NotADirectoryError, PermissionError):
            assert isinstance(error, other) == (other is kind), f"{name}: {type(error).__mro__}"
        again = pickle.loads(pickle.dumps(error))
        assert (type(again), str(again), again.errno, again.path) == (type(error), str(error), number, path)
    with pytest.raises(FileNotFoundError):
        dofmap.read(tmp_path / "missing.jpg")


def test_read_takes_text_bytes_and_path_objects():
    expected = dofmap.read(DEMO)
    assert expected.shape == (605, 1000, 3) and expected.dtype == np.uint8
    assert_same_pixels(dofmap.read(str(DEMO)), expected, "read from a str")
    assert_same_pixels(dofmap.read(bytes(DEMO)), expected, "read from bytes")


def test_two_threads_at_once_both_finish_and_agree():
    photos = [synthetic_photo(seed, 700, 900) for seed in (21, 22)]
    alone = [dofmap.focus_map(photo) for photo in photos]
    results = [None, None]
    start = threading.Barrier(2)

    def compute(index):
        start.wait()
        for _ in range(3):
            results[index] = dofmap.focus_map(photos[index])

    threads = [threading.Thread(target=compute, args=(index,)) for index in (0, 1)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
        assert not thread.is_alive(), "a thread did not finish"
    for index in (0, 1):
        assert_same_pixels(results[index][0], alone[index][0], f"map of thread {index}")
        assert results[index][1] == alone[index][1]


# A 48-megapixel photo mapped at a window of 5001 takes seconds; Ctrl-C in the middle of the call.
INTERRUPTED_CALL = """
import sys, time
import cv2, numpy as np
import dofmap
rng = np.random.default_rng(5)
photo = cv2.resize(rng.integers(0, 256, (60, 80, 3), np.uint8), (8000, 6000), interpolation=cv2.INTER_CUBIC)
photo += rng.integers(0, 8, photo.shape, np.uint8)
print("started", flush=True)
try:
    dofmap.focus_map(photo, window=5001)
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""


def test_ctrl_c_interrupts_a_long_call_at_once():
    child = subprocess.Popen(
        [sys.executable, "-c", INTERRUPTED_CALL], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    try:
        assert child.stdout.readline() == "started\n", child.stderr.read()
        time.sleep(0.5)  # well into the call
        os.kill(child.pid, signal.SIGINT)
        sent = time.monotonic()
        out, err = child.communicate(timeout=60)
        waited = time.monotonic() - sent
    finally:
        child.kill()
    assert out == "interrupted\n", err
    assert child.returncode == 0, err
    assert waited < 1.5, f"the call went on for {waited:.2f} s after Ctrl-C"


def test_results_outlive_their_inputs_and_are_their_own():
    photo = synthetic_photo(4, 50, 60)
    depth_map, _ = dofmap.focus_map(photo)
    expected = depth_map.copy()
    del photo
    again, _ = dofmap.focus_map(synthetic_photo(4, 50, 60))
    again[...] = 0
    assert_same_pixels(depth_map, expected, "map")
    assert depth_map.flags.writeable and depth_map.flags.c_contiguous


def test_cull_figures_measure_the_noise_added_and_take_it_out():
    photo = cv2.imread(str(DEMO), cv2.IMREAD_COLOR)
    noise = np.random.default_rng(7).normal(0.0, 10.0, photo.shape)
    noisy = np.clip(np.rint(photo + noise), 0, 255).astype(np.uint8)
    clean = dofmap.cull_figures(photo)
    figures = dofmap.cull_figures(noisy)
    assert isinstance(figures, dofmap.CullFigures) and figures._fields == (
        "noise",
        "corrected_max_mean",
        "detail_ratio",
        "motion",
    )
    assert clean.noise < 1.0 and abs(figures.noise - 10.0) < 1.0, figures
    max_mean = dofmap.statistics(noisy).max_mean
    assert max_mean > 1.3 * clean.corrected_max_mean
    assert abs(figures.corrected_max_mean - clean.corrected_max_mean) < 0.05 * clean.corrected_max_mean, figures
    assert dofmap.cull_figures(noisy[:, :, ::-1].copy(), rgb=True) == figures


def test_opencvs_codecs_are_loaded_only_for_files_that_need_them(tmp_path):
    # In a fresh interpreter without cv2 (which links the codecs itself): the module imports, reads
    # and maps a JPEG without them, and loads them for a PNG.
    photo = synthetic_photo(5, 40, 60)
    cv2.imwrite(str(tmp_path / "a.jpg"), photo)
    cv2.imwrite(str(tmp_path / "b.png"), photo)
    script = (
        "import sys, dofmap\n"
        "def codecs():\n"
        "    with open('/proc/self/maps') as maps:\n"
        "        return 'libopencv_imgcodecs' in maps.read()\n"
        "dofmap.focus_map(dofmap.read(sys.argv[1]))\n"
        "before = codecs()\n"
        "dofmap.read(sys.argv[2])\n"
        "print(before, codecs(), 'cv2' in sys.modules)\n"
    )
    run = subprocess.run([sys.executable, "-c", script, str(tmp_path / "a.jpg"), str(tmp_path / "b.png")],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["False", "True", "False"], run.stdout
