"""Smoke checks of the culling benchmark's ground truth, without its photographs: the capture
times written into JPEG files read back with exiftool, the blur kernels' sizes, and the shoots'
composition (shares of blurred photos, a sharp frame in every burst, a scene once a shoot)."""

import collections
import datetime
import json
import subprocess

import cv2
import numpy as np

import degrade
import photos
import shoots


def test_capture_times_read_back_and_pixels_kept(tmp_path):
    photo = np.random.default_rng(3).integers(0, 256, (48, 64, 3), dtype=np.uint8)
    plain = degrade.encode_jpeg(photo.astype(np.float32), 90)
    taken = datetime.datetime(2023, 7, 4, 18, 30, 59, 87000)
    path = tmp_path / "IMG_0001.jpg"
    path.write_bytes(shoots.with_exif(plain, taken, 64, 48))

    expected = {"DateTimeOriginal": "2023:07:04 18:30:59", "SubSecTimeOriginal": "087",
                "OffsetTimeOriginal": "+02:00", "ModifyDate": "2023:07:04 18:30:59", "SubSecTime": "087",
                "OffsetTime": "+02:00",
                "ExifImageWidth": 64, "ExifImageHeight": 48, "Validate": "OK"}
    done = subprocess.run(["exiftool", "-j", *(f"-{tag}" for tag in expected), str(path)],
                          capture_output=True, text=True, timeout=60)
    tags = json.loads(done.stdout)[0]
    assert {tag: tags.get(tag) for tag in expected} == expected, tags
    decoded = cv2.imdecode(np.frombuffer(path.read_bytes(), np.uint8), cv2.IMREAD_COLOR)
    assert np.array_equal(decoded, cv2.imdecode(np.frombuffer(plain, np.uint8), cv2.IMREAD_COLOR))


def test_kernels_spread_as_their_strength_says():
    def spread(kernel):
        """Standard deviations of the kernel's weight along x and y."""
        ys, xs = np.indices(kernel.shape)
        mean_x, mean_y = (kernel * xs).sum(), (kernel * ys).sum()
        return np.sqrt((kernel * (xs - mean_x) ** 2).sum()), np.sqrt((kernel * (ys - mean_y) ** 2).sum())

    disk = degrade.disk_kernel(3)
    assert disk.shape == (7, 7) and abs(disk.sum() - 1) < 1e-6
    assert np.allclose(spread(disk), 3 / 2, atol=0.05), spread(disk)  # a disk's is radius / 2
    line = degrade.path_kernel(degrade.motion_path(21, 0))
    assert np.allclose(spread(line), (21 / np.sqrt(12), 0), atol=0.1), spread(line)  # a segment's is length / √12
    shake = degrade.path_kernel(degrade.shake_path(15, np.random.default_rng(1)))
    rows, cols = np.nonzero(shake > 0)
    assert max(np.ptp(rows), np.ptp(cols)) in (15, 16), (np.ptp(rows), np.ptp(cols))


def test_shoots_hold_their_shares_and_keep_a_sharp_frame_in_every_burst(monkeypatch):
    scenes = [photos.Scene(f"scene-{i}", "", "", "", "") for i in range(30)]
    monkeypatch.setattr(shoots, "scenes_of", lambda split, tier: scenes)
    # So many blurred photos that some bursts would have no sharp frame left without the rule.
    monkeypatch.setattr(shoots, "SHARP_SHARE", 0.4)
    deck = shoots.blur_deck(np.random.default_rng(2))
    rows = shoots.compose("s", "tuning", "1.5mp", 95, True, np.random.default_rng(5), deck)
    deck = shoots.blur_deck(np.random.default_rng(2))
    again = shoots.compose("s", "tuning", "1.5mp", 95, True, np.random.default_rng(5), deck)
    assert rows == again

    assert shoots.SHOOT_PHOTOS - 1 <= len(rows) <= shoots.SHOOT_PHOTOS, len(rows)  # no burst of one frame
    groups = collections.defaultdict(list)
    for row in rows:
        groups[row["group"]].append(row)
    for grouping in ("single", "burst"):
        chosen = [row for row in rows if row["grouping"] == grouping]
        blurred = sum(row["truth"] == "blurred" for row in chosen)
        assert blurred == round((1 - shoots.SHARP_SHARE) * len(chosen)), (grouping, blurred, len(chosen))
    scenes_seen = [group[0]["scene"] for group in groups.values()]
    assert len(scenes_seen) == len(set(scenes_seen)), scenes_seen
    for name, group in groups.items():
        assert len({row["noise"] for row in group}) == 1, name
        if group[0]["grouping"] == "burst":
            assert any(row["truth"] == "sharp" for row in group), name
            times = [row["taken"] for row in group]
            steps = np.diff([datetime.datetime.fromisoformat(t).timestamp() for t in times])
            assert ((steps > 0.05) & (steps < 0.35)).all(), (name, times)
    assert len({row["noise"] for row in rows}) == len(degrade.NOISE_SIGMAS)
    assert all(a["taken"] < b["taken"] for a, b in zip(rows, rows[1:])), "photos out of capture order"
