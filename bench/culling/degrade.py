"""The culling benchmark's degradations: the looks a sharp photo takes (shallow depth of field, a
small subject on a plain background), a hand-held frame's shift, the blurs that spoil a frame
(defocus, Gaussian, linear motion, camera shake), sensor noise and JPEG compression.

Images are float32 BGR in 8-bit units (0 ... 255) until they are encoded."""

import math

import cv2
import numpy as np

# Strengths, in pixels of the photo as it is written (the users' evaluation had these ranges).
BLURS = {
    "defocus": (1.5, 2, 3, 4, 6),  # radius of the disk
    "gaussian": (1, 1.5, 2, 3, 4),  # sigma
    "motion": (7, 11, 15, 21, 31),  # length of the straight path, any angle
    "shake": (7, 11, 15, 21, 31),  # larger side of a random smooth path's bounding box
}
NOISE_SIGMAS = (0, 3, 8, 15)  # at mid-gray, in 8-bit units
JPEG_QUALITIES = (95, 75)

# Sub-samples per pixel side when a disk is drawn, and points per pixel of a path, so that the
# kernels of fractional radii and lengths differ as they should.
_SUPERSAMPLING = 8
# The noise's variance is proportional to the signal plus this level, as a sensor's shot noise
# plus its read noise, scaled so that mid-gray gets the nominal sigma.
_NOISE_FLOOR = 32.0

# Shallow depth of field: sharp within this share of the diagonal from the focus point, blurred
# more and more to the largest radius (a share of the longer side) at the far share and beyond.
_FOCUS_SHARE = 0.12
_FAR_SHARE = 0.55
_LARGEST_RADIUS_SHARE = 0.012
# Blur radii, as shares of the largest, between which the depth-of-field look interpolates.
_LAYERS = (0.0, 0.125, 0.25, 0.5, 1.0)
# A disk blur wider than this radius is computed on a copy reduced to that radius (its result
# holds nothing finer), and enlarged again.
_REDUCED_RADIUS = 4.0

# A small subject: a disk of the photo of this diameter (share of the shorter side), its edge
# softened over this share, on the photo smoothed to a plain backdrop by a Gaussian of this share.
SUBJECT_DIAMETER = 0.22
_SUBJECT_FEATHER = 0.01
_BACKDROP_SIGMA = 0.08


def disk_kernel(radius):
    """The point spread of a defocused lens: a disk of the radius (pixels), each pixel weighted by
    the share of it the disk covers, the weights summing to 1."""
    half = math.ceil(radius)
    size = 2 * half + 1
    offsets = (np.arange(size * _SUPERSAMPLING) + 0.5) / _SUPERSAMPLING - half - 0.5
    inside = offsets[:, None] ** 2 + offsets[None, :] ** 2 <= radius**2
    kernel = inside.reshape(size, _SUPERSAMPLING, size, _SUPERSAMPLING).mean(axis=(1, 3))
    return (kernel / kernel.sum()).astype(np.float32)


def path_kernel(points):
    """The point spread of a camera that moves along the points (x, y in pixels) during the
    exposure, spending the same time at each: their bilinear splat, centred on their mean."""
    points = np.asarray(points, np.float64)
    points = points - points.mean(axis=0)
    half = int(math.ceil(np.abs(points).max())) + 1
    kernel = np.zeros((2 * half + 1, 2 * half + 1))
    x, y = points[:, 0] + half, points[:, 1] + half
    x0, y0 = np.floor(x).astype(int), np.floor(y).astype(int)
    fx, fy = x - x0, y - y0
    for dy, dx, weight in ((0, 0, (1 - fx) * (1 - fy)), (0, 1, fx * (1 - fy)), (1, 0, (1 - fx) * fy),
                           (1, 1, fx * fy)):
        np.add.at(kernel, (y0 + dy, x0 + dx), weight)
    return (kernel / kernel.sum()).astype(np.float32)


def motion_path(length, angle_degrees):
    """A straight path of the length (pixels) at the angle."""
    t = np.linspace(-length / 2, length / 2, int(length * _SUPERSAMPLING) + 1)
    angle = math.radians(angle_degrees)
    return np.stack([t * math.cos(angle), t * math.sin(angle)], axis=1)


def shake_path(extent, rng):
    """A hand's shake: a random walk with inertia (the velocity keeps most of itself at each step
    and takes a random push, now and then a jerk), scaled so that its bounding box's larger side
    is the extent (pixels), and sampled densely for the splat."""
    steps = 96
    velocity = rng.standard_normal(2)
    position = np.zeros(2)
    points = [position]
    for _ in range(steps):
        velocity = 0.85 * velocity + 0.4 * rng.standard_normal(2)
        if rng.random() < 0.03:
            velocity = velocity + 2.0 * rng.standard_normal(2)
        position = position + velocity
        points.append(position)
    points = np.array(points)
    points *= extent / max(np.ptp(points, axis=0).max(), 1e-9)
    lengths = np.hypot(*np.diff(points, axis=0).T)
    along = np.concatenate([[0.0], np.cumsum(lengths)])
    samples = np.linspace(0.0, along[-1], int(along[-1] * _SUPERSAMPLING) + 2)
    return np.stack([np.interp(samples, along, points[:, 0]), np.interp(samples, along, points[:, 1])], axis=1)


def blur(image, kind, strength, rng):
    """The image blurred as `kind` says at the strength (see BLURS); motion takes a random angle and
    shake a random path from rng. Returns the blurred image and the angle (None but for motion)."""
    if kind == "gaussian":
        return cv2.GaussianBlur(image, (0, 0), strength, borderType=cv2.BORDER_REFLECT), None
    angle = None
    if kind == "defocus":
        kernel = disk_kernel(strength)
    elif kind == "motion":
        angle = float(rng.uniform(0.0, 180.0))
        kernel = path_kernel(motion_path(strength, angle))
    elif kind == "shake":
        kernel = path_kernel(shake_path(strength, rng))
    else:
        raise ValueError(f"unknown blur {kind}")
    return cv2.filter2D(image, -1, kernel, borderType=cv2.BORDER_REFLECT), angle


def add_noise(image, sigma, seed):
    """The image with Gaussian noise of the sigma at mid-gray, signal-dependent (see _NOISE_FLOOR),
    independent in each channel and pixel, drawn from the seed (OpenCV's generator, the fastest
    here)."""
    if sigma == 0:
        return image
    gauss = np.empty(image.shape, np.float32)
    cv2.setRNGSeed(int(seed))
    cv2.randn(gauss, (0.0,) * 3, (1.0,) * 3)
    spread = cv2.sqrt(image + np.float32(_NOISE_FLOOR))  # blurs and reductions keep images >= 0
    return cv2.scaleAdd(cv2.multiply(gauss, spread), sigma / math.sqrt(127.5 + _NOISE_FLOOR), image)


def encode_jpeg(image, quality):
    """The image rounded to 8 bits and encoded as a baseline JPEG of the quality (4:2:0)."""
    pixels = cv2.convertScaleAbs(cv2.max(image, 0.0))  # rounds and saturates at 255
    ok, data = cv2.imencode(".jpg", pixels, [cv2.IMWRITE_JPEG_QUALITY, int(quality)])
    if not ok:
        raise RuntimeError("JPEG encoding failed")
    return data.tobytes()


def detail_centre(image, margin):
    """Where the photo holds most fine detail, as fractions (x, y) of its width and height: the
    centre of the region, a sixth of the photo's side, of largest Laplacian energy, kept at least
    `margin` (a fraction) from every edge."""
    height, width = image.shape[:2]
    scale = 256.0 / max(height, width)
    small = _reduced(image, scale)
    gray = cv2.cvtColor(small, cv2.COLOR_BGR2GRAY)
    side = max(3, round(max(gray.shape) / 6))
    energy = np.abs(cv2.Laplacian(gray, cv2.CV_32F))
    energy = cv2.boxFilter(energy, -1, (side, side), borderType=cv2.BORDER_CONSTANT)
    rows, cols = energy.shape
    y0, y1 = int(math.ceil(margin * rows)), int(math.floor((1 - margin) * rows))
    x0, x1 = int(math.ceil(margin * cols)), int(math.floor((1 - margin) * cols))
    region = energy[y0 : max(y1, y0 + 1), x0 : max(x1, x0 + 1)]
    y, x = np.unravel_index(int(np.argmax(region)), region.shape)
    return (x0 + x + 0.5) / cols, (y0 + y + 0.5) / rows


def _reduced(image, scale):
    """The image reduced by the scale (at least a pixel a side), a pixel the mean of those it covers."""
    height, width = image.shape[:2]
    size = (max(1, round(width * scale)), max(1, round(height * scale)))
    return cv2.resize(image, size, interpolation=cv2.INTER_AREA)


def _disk_blur(image, radius):
    """The image blurred by a disk of the radius, a wide one computed on a reduced copy."""
    if radius <= 0:
        return image
    height, width = image.shape[:2]
    if radius <= _REDUCED_RADIUS:
        return cv2.filter2D(image, -1, disk_kernel(radius), borderType=cv2.BORDER_REFLECT)
    reduced = _reduced(image, _REDUCED_RADIUS / radius)
    reduced = cv2.filter2D(reduced, -1, disk_kernel(_REDUCED_RADIUS), borderType=cv2.BORDER_REFLECT)
    return cv2.resize(reduced, (width, height), interpolation=cv2.INTER_LINEAR)


def shallow_depth_of_field(image, centre):
    """The photo as a wide aperture takes it: sharp around the focus point `centre` (fractions x, y),
    defocused more and more with the distance from it (a depth-like mask) up to a disk of
    _LARGEST_RADIUS_SHARE of the longer side; the blurred layers are mixed linearly by radius."""
    height, width = image.shape[:2]
    diagonal = math.hypot(width, height)
    ys = (np.arange(height, dtype=np.float32)[:, None] - centre[1] * height) / diagonal
    xs = (np.arange(width, dtype=np.float32)[None, :] - centre[0] * width) / diagonal
    depth = np.clip((np.sqrt(xs * xs + ys * ys) - _FOCUS_SHARE) / (_FAR_SHARE - _FOCUS_SHARE), 0.0, 1.0)
    depth = depth * depth * (3.0 - 2.0 * depth)  # smooth step: no crease where the blur begins
    largest = _LARGEST_RADIUS_SHARE * max(height, width)
    result = np.zeros_like(image)
    for index, share in enumerate(_LAYERS):
        below = _LAYERS[index - 1] if index > 0 else None
        above = _LAYERS[index + 1] if index + 1 < len(_LAYERS) else None
        weight = np.zeros_like(depth)
        if below is not None:
            weight = np.where((depth >= below) & (depth <= share), (depth - below) / (share - below), weight)
        if above is not None:
            weight = np.where((depth >= share) & (depth < above), (above - depth) / (above - share), weight)
        if below is None:
            weight = np.where(depth <= share, 1.0, weight)
        if above is None:
            weight = np.where(depth >= share, 1.0, weight)
        if weight.any():
            result += _disk_blur(image, share * largest) * weight[:, :, None].astype(np.float32)
    return result


def small_subject(image, centre):
    """A small sharp subject on a plain background: a disk of the photo around `centre` (fractions
    x, y; see SUBJECT_DIAMETER), its edge softened, on the rest of the photo smoothed to a plain
    backdrop (a Gaussian of _BACKDROP_SIGMA of the shorter side, computed on a reduced copy)."""
    height, width = image.shape[:2]
    short = min(height, width)
    ys = np.arange(height, dtype=np.float32)[:, None] - centre[1] * height
    xs = np.arange(width, dtype=np.float32)[None, :] - centre[0] * width
    radius, feather = SUBJECT_DIAMETER * short / 2, max(1.0, _SUBJECT_FEATHER * short)
    mask = np.clip((radius - np.sqrt(xs * xs + ys * ys)) / feather + 0.5, 0.0, 1.0)[:, :, None]
    reduced = _reduced(image, 128.0 / short)
    reduced = cv2.GaussianBlur(reduced, (0, 0), _BACKDROP_SIGMA * 128.0, borderType=cv2.BORDER_REFLECT)
    backdrop = cv2.resize(reduced, (width, height), interpolation=cv2.INTER_LINEAR)
    return image * mask + backdrop * (1.0 - mask)


def frame_geometry(source_size, largest_pixels, crop_share, oversampling):
    """The sizes of a scene's frames: (frame, master), both (width, height). A frame is a crop of
    crop_share of the master's sides, reduced to the frame's size; the master is the source
    reduced (never enlarged) so that frames have at most largest_pixels and the crop is reduced
    by up to `oversampling` in each side, which makes shifts of whole master pixels fractional in
    the frame. Without room to reduce, the frame is the crop itself."""
    width, height = source_size
    frame_scale = min(1.0, math.sqrt(largest_pixels / (width * height)) / crop_share)
    master_scale = min(1.0, frame_scale * oversampling)
    master = (round(width * master_scale), round(height * master_scale))
    crop = _crop_size(master, crop_share)
    ratio = frame_scale / master_scale
    return (round(crop[0] * ratio), round(crop[1] * ratio)), master


def _crop_size(master_size, crop_share):
    return round(master_size[0] * crop_share), round(master_size[1] * crop_share)


def shifted_frame(master, frame_size, crop_share, offset):
    """A hand-held frame of the master: its crop of crop_share of the sides at `offset` (fractions
    0 ... 1 of the room the crop leaves, in x and y), reduced to frame_size."""
    height, width = master.shape[:2]
    crop_w, crop_h = _crop_size((width, height), crop_share)
    x = round(offset[0] * (width - crop_w))
    y = round(offset[1] * (height - crop_h))
    crop = master[y : y + crop_h, x : x + crop_w]
    if (crop_w, crop_h) == tuple(frame_size):
        return crop.copy()
    return cv2.resize(crop, tuple(frame_size), interpolation=cv2.INTER_AREA)
