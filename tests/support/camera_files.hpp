// Camera files made in the tests: raw DNG files mosaicked from a photo, written with libtiff; HEIC
// files turned by their orientation, written with libheif; and the images the reference tools
// (LibRaw's dcraw_emu, libheif's heif-enc and heif-convert) make of them.
#pragma once

#include <opencv2/core.hpp>

#include <filesystem>
#include <string>
#include <vector>

namespace dofmap::testing {

struct DngOptions {
    int orientation = 1;  // the TIFF orientation tag, 1 ... 8
    // Also store the photo, halved `previewHalvings` times, as an 8-bit RGB preview in the first
    // directory (the raw data then lies in a sub-directory, as cameras write them); none when negative.
    int previewHalvings = -1;
    bool jpegPreview = false;  // the preview JPEG-compressed; uncompressed otherwise
    // EXIF DateTimeOriginal ("2024:05:01 10:11:12") and SubSecTimeOriginal ("25") in an Exif
    // directory of the first directory, as cameras record when a photo was taken; none when empty.
    std::string dateTimeOriginal;
    std::string subSecTimeOriginal;
};

// Writes the 8-bit BGR `photo` as a DNG file holding a 16-bit RGGB Bayer mosaic of it (linearized
// with a gamma of 2.2), with a neutral white balance as shot. Returns an empty string, or what
// libtiff could not do.
std::string writeBayerDng(const std::filesystem::path& path, const cv::Mat& photo, const DngOptions& options = {});

// Writes the 8-bit BGR `photo` as a lossy DNG file, as phones and converters write them: linear
// RGB in tiles of 64 x 64 pixels, each a baseline JPEG stream (compression 34892). Returns an
// empty string, or what libtiff could not do.
std::string writeLossyDng(const std::filesystem::path& path, const cv::Mat& photo);

// Writes the 8-bit BGR `photo` as a HEIC file (quality 90) stored as it is and to be shown turned as
// the EXIF-like `orientation` (1 ... 8) says: libheif writes the rotation and mirroring boxes for
// it. Returns an empty string, or what libheif could not do.
std::string writeOrientedHeic(const std::filesystem::path& path, const cv::Mat& photo, int orientation);

// `photo` turned as the EXIF `orientation` (1 ... 8) says it is to be shown.
cv::Mat oriented(const cv::Mat& photo, int orientation);

// Runs `argv` (a reference tool) and returns its stderr when it fails, or an empty string.
std::string runTool(const std::vector<std::string>& argv, const std::filesystem::path& directory);

// The image that `dcraw_emu -w` develops of the RAW file at `raw`, read by OpenCV; empty (with the
// tool's complaint in `error`) when it fails.
cv::Mat dcrawEmuImage(const std::filesystem::path& raw, std::string& error);

// The PNG that `heif-convert` writes for the HEIF file at `heif`, read by OpenCV as 8-bit color;
// empty (with the tool's complaint in `error`) when it fails.
cv::Mat heifConvertImage(const std::filesystem::path& heif, std::string& error);

// The file at `path` cut to the first `keepShare` (0 ... 1) of its bytes, written to `to`.
void writeTruncated(const std::filesystem::path& path, const std::filesystem::path& to, double keepShare);

}  // namespace dofmap::testing
