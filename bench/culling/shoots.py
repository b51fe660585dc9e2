"""The culling benchmark's ground truth: shoots of about 60 photos, 70 % sharp, made from the scenes
as bursts of hand-held frames and as single photos, at mixed noise levels, written as JPEG files
with EXIF capture times into a cache folder, with every photo's truth in truth.csv beside them.
The same on every run (fixed seeds); generated once and reused while the generator and the
photographs it reads are unchanged.

    /usr/bin/python3 bench/culling/shoots.py [--cache build/bench-culling] [--jobs 2]
"""

import argparse
import csv
import datetime
import hashlib
import itertools
import multiprocessing
import os
import shutil
import struct
import sys
import time

import cv2
import numpy as np

import degrade
import photos

SEED = 20240611

# Resolutions: frames of at most this many pixels, from photographs of more than the second
# figure (the larger one would otherwise be the smaller one again, or need enlarging).
TIERS = {"1.5mp": (1.5e6, 0.0), "6mp": (6.0e6, 3.0e6)}
# A frame is this share of its master's sides, at an offset anywhere in the room left: frames of a
# burst are shifted against each other by up to 6 % of the side, as hand-held frames are.
CROP_SHARE = 0.94
# The master holds up to this many pixels per frame pixel in each side, so that a shift by whole
# master pixels is a fractional one in the frame.
OVERSAMPLING = 1.25

SHOOT_PHOTOS = 60
SHARP_SHARE = 0.7
BURST_FRAMES = (3, 8)
# Half of a shoot's scenes (at most this many) are single photos, the rest bursts.
MOST_SINGLES = 15
LOOKS = ("plain", "shallow", "small")
LOOK_WEIGHTS = (0.5, 0.25, 0.25)
# Frames of a burst are this many seconds apart; bursts and singles are separated by a pause
# drawn log-uniformly between these bounds.
FRAME_INTERVAL = (0.1, 0.3)
PAUSE = (5.0, 300.0)
# One shoot in this many has no capture times (no EXIF at all), as files that lost theirs.
UNTIMED_EVERY = 4

# (split, tier, shoots at each JPEG quality): the held-out scenes are fewer, so are their shoots'
# photos, and they get more shoots.
PLAN = [("tuning", "1.5mp", 4), ("tuning", "6mp", 3), ("held-out", "1.5mp", 5), ("held-out", "6mp", 4)]

FIELDS = ("shoot file split tier quality times scene group grouping frame look truth blur strength "
          "angle noise offset_x offset_y taken width height").split()
_HERE = os.path.dirname(os.path.abspath(__file__))
_SOURCES = [os.path.join(_HERE, name) for name in ("photos.py", "degrade.py", "shoots.py")]


def stamp():
    """What the cache was made from: the generator's sources and the photographs' sizes."""
    digest = hashlib.sha256()
    for path in _SOURCES:
        with open(path, "rb") as source:
            digest.update(source.read())
    for scene in photos.SCENES:
        size = os.path.getsize(scene.path) if os.path.isfile(scene.path) else -1
        digest.update(f"{scene.path}:{size}\n".encode())
    return digest.hexdigest()


def scenes_of(split, tier):
    """The scenes of the split that the tier takes (make_masters first)."""
    return [scene for scene in photos.SCENES
            if photos.held_out(scene) == (split == "held-out") and (scene.name, tier) in _masters]


def compose(name, split, tier, quality, timed, rng, deck):
    """The photos of one shoot, in capture order, as rows of FIELDS (without their sizes): half of
    the scenes as singles, the rest as bursts of 3 to 8 frames up to about SHOOT_PHOTOS, each
    burst and single with its look and noise level; 30 % of the singles and of the bursts' frames
    blurred, every burst keeping at least one sharp frame, each blur the next (kind, strength) of
    `deck`."""
    scenes = scenes_of(split, tier)
    order = [scenes[i] for i in rng.permutation(len(scenes))]
    singles = min(MOST_SINGLES, len(order) // 2)
    groups = [(scene, 1) for scene in order[:singles]]
    total = singles
    for scene in order[singles:]:
        size = min(int(rng.integers(BURST_FRAMES[0], BURST_FRAMES[1] + 1)), SHOOT_PHOTOS - total)
        if size < 2:
            break
        groups.append((scene, size))
        total += size
    groups = [groups[i] for i in rng.permutation(len(groups))]

    # Blurred photos, 30 % of the singles and 30 % of the bursts' frames: drawn among the singles,
    # and among the frames of the bursts but one sharp frame kept in each.
    blurred = set()
    for alone in (True, False):
        slots = [(g, f) for g, (_, size) in enumerate(groups) if (size == 1) == alone for f in range(size)]
        kept = {(g, int(rng.integers(size))) for g, (_, size) in enumerate(groups) if size > 1}
        open_slots = [slot for slot in slots if slot not in kept]
        count = round((1 - SHARP_SHARE) * len(slots))
        blurred |= {open_slots[i] for i in rng.choice(len(open_slots), count, replace=False)}

    noise_levels = list(degrade.NOISE_SIGMAS) * (len(groups) // len(degrade.NOISE_SIGMAS) + 1)
    noise_levels = [noise_levels[i] for i in rng.permutation(len(groups))]
    clock = datetime.datetime(2023, 6, 1, 9, 0, 0) + datetime.timedelta(days=int(rng.integers(0, 365)))
    number = int(rng.integers(1, 9000))
    rows = []
    for g, (scene, size) in enumerate(groups):
        look = LOOKS[int(rng.choice(len(LOOKS), p=LOOK_WEIGHTS))]
        interval = rng.uniform(*FRAME_INTERVAL)
        clock += datetime.timedelta(seconds=float(np.exp(rng.uniform(np.log(PAUSE[0]), np.log(PAUSE[1])))))
        for f in range(size):
            if f:
                clock += datetime.timedelta(seconds=float(interval + rng.uniform(-0.01, 0.01)))
            kind, strength = next(deck) if (g, f) in blurred else ("none", 0)
            rows.append({
                "shoot": name, "file": f"IMG_{number:04d}.jpg", "split": split, "tier": tier,
                "quality": quality, "times": "exif" if timed else "none", "scene": scene.name,
                "group": f"{'burst' if size > 1 else 'single'}-{g:02d}",
                "grouping": "burst" if size > 1 else "single", "frame": f, "look": look,
                "truth": "blurred" if (g, f) in blurred else "sharp", "blur": kind, "strength": strength,
                "angle": "", "noise": noise_levels[g],
                "offset_x": round(float(rng.random()), 4), "offset_y": round(float(rng.random()), 4),
                "taken": clock.isoformat(timespec="milliseconds") if timed else "",
            })
            number = number % 9999 + 1
    return rows


def blur_deck(rng):
    """Every (kind, strength) of degrade.BLURS once in a shuffled round, round after round, so that
    each split's blurs are spread evenly over kinds and strengths."""
    combinations = [(kind, strength) for kind, strengths in degrade.BLURS.items() for strength in strengths]
    while True:
        for i in rng.permutation(len(combinations)):
            yield combinations[i]


def plan_shoots():
    """Every shoot's rows, from the fixed seed."""
    rows = []
    counters = {}
    decks = {split: blur_deck(np.random.default_rng([SEED, index]))
             for index, split in enumerate(("tuning", "held-out"))}
    shoots = [(split, tier, quality)
              for split, tier, count in PLAN for quality in degrade.JPEG_QUALITIES for _ in range(count)]
    for index, (split, tier, quality) in enumerate(shoots):
        counters[split] = counters.get(split, 0) + 1
        name = f"{split}-{tier}-q{quality}-{counters[split]:02d}"
        timed = counters[split] % UNTIMED_EVERY != 0
        rows += compose(name, split, tier, quality, timed, np.random.default_rng([SEED, 100 + index]), decks[split])
    return rows


def exif_segment(taken, width, height):
    """A JPEG APP1 segment with EXIF (little-endian TIFF) holding the capture time `taken` (a
    datetime) as a camera writes it into an unedited photo: DateTimeOriginal, SubSecTimeOriginal
    (milliseconds) and OffsetTimeOriginal, and the same in DateTime, SubSecTime and OffsetTime,
    beside the tags EXIF requires of a JPEG file (its size, color space, resolution)."""
    def ascii_value(text):
        return text.encode("ascii") + b"\0"

    seconds = ascii_value(taken.strftime("%Y:%m:%d %H:%M:%S"))
    fraction = ascii_value(f"{taken.microsecond // 1000:03d}")
    offset = ascii_value("+02:00")
    exif_entries = [
        (0x9000, 7, b"0232"),  # ExifVersion
        (0x9003, 2, seconds),  # DateTimeOriginal
        (0x9010, 2, offset),  # OffsetTime
        (0x9011, 2, offset),  # OffsetTimeOriginal
        (0x9101, 7, b"\1\2\3\0"),  # ComponentsConfiguration: Y, Cb, Cr
        (0x9290, 2, fraction),  # SubSecTime
        (0x9291, 2, fraction),  # SubSecTimeOriginal
        (0xA000, 7, b"0100"),  # FlashpixVersion
        (0xA001, 3, struct.pack("<H", 1)),  # ColorSpace: sRGB
        (0xA002, 4, struct.pack("<I", width)),  # PixelXDimension
        (0xA003, 4, struct.pack("<I", height)),  # PixelYDimension
    ]

    def first_directory(exif_at):
        return _ifd([
            (0x011A, 5, struct.pack("<II", 72, 1)),  # XResolution
            (0x011B, 5, struct.pack("<II", 72, 1)),  # YResolution
            (0x0128, 3, struct.pack("<H", 2)),  # ResolutionUnit: inches
            (0x0132, 2, seconds),  # DateTime
            (0x0213, 3, struct.pack("<H", 1)),  # YCbCrPositioning: centred
            (0x8769, 4, struct.pack("<I", exif_at)),  # the Exif directory's offset
        ], 8)

    exif_at = 8 + len(first_directory(0))
    tiff = b"II*\0" + struct.pack("<I", 8) + first_directory(exif_at) + _ifd(exif_entries, exif_at)
    return b"\xff\xe1" + struct.pack(">H", 2 + 6 + len(tiff)) + b"Exif\0\0" + tiff


# Bytes of one value of each TIFF type used: ASCII, SHORT, LONG, RATIONAL, UNDEFINED.
_TYPE_SIZES = {2: 1, 3: 2, 4: 4, 5: 8, 7: 1}


def _ifd(entries, start):
    """A TIFF image file directory at offset `start`: its entries (tag, type, value bytes) in tag
    order, a value longer than 4 bytes stored after the directory, on an even offset."""
    data_at = start + 2 + 12 * len(entries) + 4
    directory, data = struct.pack("<H", len(entries)), b""
    for tag, kind, value in sorted(entries):
        count = len(value) // _TYPE_SIZES[kind]
        if len(value) <= 4:
            directory += struct.pack("<HHI", tag, kind, count) + value.ljust(4, b"\0")
        else:
            directory += struct.pack("<HHII", tag, kind, count, data_at + len(data))
            data += value + b"\0" * (len(value) % 2)
    return directory + struct.pack("<I", 0) + data


def with_exif(jpeg, taken, width, height):
    """The JPEG file of the size with the EXIF segment of `taken` after its JFIF segment (or its
    start)."""
    at = 2
    if jpeg[2:4] == b"\xff\xe0":
        at = 4 + int.from_bytes(jpeg[4:6], "big")
    return jpeg[:at] + exif_segment(taken, width, height) + jpeg[at:]


_masters = {}


def make_masters():
    """Every scene at every tier it is taken at: the photograph reduced to its master's size (see
    degrade.frame_geometry), as 8-bit BGR, with the size of its frames."""
    for scene in photos.SCENES:
        source = photos.load(scene)
        height, width = source.shape[:2]
        for tier, (largest, least) in TIERS.items():
            if width * height <= least:
                continue
            frame, master_size = degrade.frame_geometry((width, height), largest, CROP_SHARE, OVERSAMPLING)
            master = source
            if master_size != (width, height):
                master = cv2.resize(source, master_size, interpolation=cv2.INTER_AREA)
            _masters[scene.name, tier] = (master, frame)


def _look(scene, tier, look):
    master, frame = _masters[scene, tier]
    image = master.astype(np.float32)
    if look == "plain":
        return image, frame
    # The subject stays inside every frame: clear of the edges by its radius and the crop's room.
    centre = degrade.detail_centre(image, degrade.SUBJECT_DIAMETER / 2 + (1 - CROP_SHARE) + 0.02)
    if look == "shallow":
        return degrade.shallow_depth_of_field(image, centre), frame
    return degrade.small_subject(image, centre), frame


def render_shoot(task):
    """Writes one shoot's photos into `folder`; returns its rows with angles and sizes filled."""
    folder, rows = task
    cv2.setNumThreads(1)
    os.makedirs(folder)
    looks = {}
    for row in rows:
        key = (row["scene"], row["tier"], row["look"])
        if key not in looks:
            looks.clear()  # frames of one scene follow each other: keep one look at a time
            looks[key] = _look(*key)
        image, frame_size = looks[key]
        photo_seed = int(hashlib.sha256(f"{row['shoot']}/{row['file']}".encode()).hexdigest()[:8], 16)
        rng = np.random.default_rng([SEED, photo_seed])
        frame = degrade.shifted_frame(image, frame_size, CROP_SHARE, (row["offset_x"], row["offset_y"]))
        if row["blur"] != "none":
            frame, angle = degrade.blur(frame, row["blur"], row["strength"], rng)
            row["angle"] = "" if angle is None else round(angle, 1)
        frame = degrade.add_noise(frame, row["noise"], int(rng.integers(1, 2**31)))
        jpeg = degrade.encode_jpeg(frame, row["quality"])
        if row["taken"]:
            jpeg = with_exif(jpeg, datetime.datetime.fromisoformat(row["taken"]), frame.shape[1], frame.shape[0])
        with open(os.path.join(folder, row["file"]), "wb") as out:
            out.write(jpeg)
        row["width"], row["height"] = frame.shape[1], frame.shape[0]
    return rows


def generate(cache, jobs):
    """Makes the shoots under cache/shoots and cache/truth.csv unless they are there from the same
    generator and photographs; returns the seconds it took (0 when reused)."""
    wanted = stamp()
    stamp_path = os.path.join(cache, "stamp.txt")
    if os.path.isfile(stamp_path) and open(stamp_path).read().strip() == wanted:
        return 0.0
    started = time.monotonic()
    os.makedirs(cache, exist_ok=True)
    for stale in ("stamp.txt", "truth.csv", "vol.csv"):
        if os.path.exists(os.path.join(cache, stale)):
            os.remove(os.path.join(cache, stale))
    building = os.path.join(cache, "shoots.partial")
    shutil.rmtree(building, ignore_errors=True)
    os.makedirs(building)

    make_masters()
    rows = plan_shoots()
    tasks = [(os.path.join(building, shoot), list(group))
             for shoot, group in itertools.groupby(rows, key=lambda row: row["shoot"])]
    with multiprocessing.get_context("fork").Pool(jobs) as pool:
        done = []
        for index, shoot_rows in enumerate(pool.imap(render_shoot, tasks)):
            done += shoot_rows
            print(f"\rbench-culling: generated {index + 1}/{len(tasks)} shoots", end="", file=sys.stderr,
                  flush=True)
    print(file=sys.stderr)

    shutil.rmtree(os.path.join(cache, "shoots"), ignore_errors=True)
    os.rename(building, os.path.join(cache, "shoots"))
    with open(os.path.join(cache, "truth.csv"), "w", newline="") as out:
        writer = csv.DictWriter(out, FIELDS)
        writer.writeheader()
        writer.writerows(done)
    with open(stamp_path, "w") as out:
        out.write(wanted + "\n")
    return time.monotonic() - started


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cache", default="build/bench-culling", help="folder of the generated shoots")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1, help="shoots generated at once")
    args = parser.parse_args()
    seconds = generate(args.cache, args.jobs)
    if seconds:
        print(f"bench-culling: shoots generated in {seconds:.0f} s into {args.cache}/shoots", file=sys.stderr)
    else:
        print(f"bench-culling: shoots reused from {args.cache}/shoots", file=sys.stderr)


if __name__ == "__main__":
    main()
