// When a photo was taken, read from its file's bytes: EXIF written by exiftool into a JPEG and a
// HEIC file, and by libtiff into a DNG file (also read by LibRaw); files without a valid time give none.
#include "camera_files.hpp"
#include "capture_time.hpp"
#include "image_io.hpp"
#include "process.hpp"
#include "raw_reader.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace dofmap {
namespace {

namespace fs = std::filesystem;
using testing::TemporaryDirectory;

// The capture time of the photo at `path`, failing the test when the file cannot be read.
std::optional<CaptureTime> captureTimeOf(const fs::path& path)
{
    PhotoFile file;
    const IoStatus loaded = loadPhotoFile(path.string(), file);
    EXPECT_TRUE(loaded) << path << ": " << loaded.message();
    const IoResult<std::optional<CaptureTime>> time = readCaptureTime(file);
    EXPECT_TRUE(time) << path << ": " << time.message();
    return time ? time.value() : std::nullopt;
}

// Writes the EXIF tags `tags` ("-DateTimeOriginal=...") into the photo at `path` with exiftool; `-n`
// writes the values as given, unchecked.
void writeExif(const fs::path& path, std::vector<std::string> tags)
{
    tags.insert(tags.begin(), {"exiftool", "-q", "-n", "-overwrite_original"});
    tags.push_back(path.string());
    ASSERT_EQ(testing::runTool(tags, path.parent_path()), "");
}

std::string describe(const std::optional<CaptureTime>& time)
{
    if (!time) return "none";
    return std::to_string(time->seconds) + " s " + std::to_string(time->nanoseconds) + " ns, offset " +
        (time->offsetMinutes ? std::to_string(*time->offsetMinutes) : "none");
}

TEST(CaptureTime, ReadFromJpegHeicAndDngToTheFraction)
{
    TemporaryDirectory directory("capture-time");
    const cv::Mat photo = cv::imread(DEMO_PHOTO, cv::IMREAD_COLOR);
    ASSERT_FALSE(photo.empty());

    const fs::path jpeg = directory.path() / "burst.jpg";
    fs::copy_file(DEMO_PHOTO, jpeg);
    writeExif(jpeg, {"-DateTimeOriginal=2024:05:01 10:11:12", "-SubSecTimeOriginal=345", "-OffsetTimeOriginal=+02:00"});
    const std::optional<CaptureTime> fromJpeg = captureTimeOf(jpeg);
    // 2024-05-01 10:11:12 is 1714558272 s after 1970-01-01 00:00:00.
    ASSERT_TRUE(fromJpeg) << describe(fromJpeg);
    EXPECT_EQ(fromJpeg->seconds, 1714558272);
    EXPECT_EQ(fromJpeg->nanoseconds, 345000000);
    EXPECT_EQ(fromJpeg->offsetMinutes, 120);

    const fs::path heic = directory.path() / "phone.heic";
    ASSERT_EQ(testing::writeOrientedHeic(heic, photo(cv::Rect(0, 0, 320, 240)), 1), "");
    writeExif(heic, {"-DateTimeOriginal=2023:12:31 23:59:59", "-SubSecTimeOriginal=5", "-OffsetTimeOriginal=-05:30"});
    const std::optional<CaptureTime> fromHeic = captureTimeOf(heic);
    ASSERT_TRUE(fromHeic) << describe(fromHeic);
    EXPECT_EQ(fromHeic->seconds, 1704067199);
    EXPECT_EQ(fromHeic->nanoseconds, 500000000);
    EXPECT_EQ(fromHeic->offsetMinutes, -330);
    // The two in UTC: 2024-05-01 08:11:12.345 and 2024-01-01 05:29:59.5.
    EXPECT_NEAR(secondsBetween(*fromHeic, *fromJpeg), 1714551072.345 - 1704086999.5, 1e-6);

    testing::DngOptions options;
    options.previewHalvings = 1;
    options.dateTimeOriginal = "2024:02:29 08:00:01";
    options.subSecTimeOriginal = "25";
    const fs::path dng = directory.path() / "camera.dng";
    ASSERT_EQ(testing::writeBayerDng(dng, photo(cv::Rect(0, 0, 320, 240)), options), "");
    const std::optional<CaptureTime> fromDng = captureTimeOf(dng);
    ASSERT_TRUE(fromDng) << describe(fromDng);
    EXPECT_EQ(fromDng->seconds, 1709193601);
    EXPECT_EQ(fromDng->nanoseconds, 250000000);
    EXPECT_FALSE(fromDng->offsetMinutes);

    // LibRaw's time, the one of RAW files not laid out as TIFF, is the clock's too: in a time zone
    // far from UTC, as in UTC.
    PhotoFile file;
    const IoStatus loaded = loadPhotoFile(dng.string(), file);
    ASSERT_TRUE(loaded) << loaded.message();
    const std::optional<std::string> zone =
        std::getenv("TZ") != nullptr ? std::optional<std::string>(std::getenv("TZ")) : std::nullopt;
    setenv("TZ", "America/New_York", 1);
    tzset();
    const IoResult<std::optional<std::tm>> read = readRawDateTime(file.content.data(), file.content.size());
    if (zone)
        setenv("TZ", zone->c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
    ASSERT_TRUE(read) << read.message();
    const std::optional<std::tm>& clock = read.value();
    ASSERT_TRUE(clock);
    EXPECT_EQ(std::to_string(clock->tm_year + 1900) + "-" + std::to_string(clock->tm_mon + 1) + "-" +
                  std::to_string(clock->tm_mday) + " " + std::to_string(clock->tm_hour) + ":" +
                  std::to_string(clock->tm_min) + ":" + std::to_string(clock->tm_sec),
              "2024-2-29 8:0:1");
}

TEST(CaptureTime, NoneWithoutAValidTime)
{
    TemporaryDirectory directory("capture-time");
    const auto copy = [&](const std::string& name) {
        const fs::path path = directory.path() / name;
        fs::copy_file(DEMO_PHOTO, path);
        return path;
    };
    EXPECT_EQ(describe(captureTimeOf(DEMO_PHOTO)), "none");  // no EXIF at all
    const fs::path png = directory.path() / "photo.png";
    ASSERT_TRUE(cv::imwrite(png.string(), cv::imread(DEMO_PHOTO, cv::IMREAD_COLOR)));
    EXPECT_EQ(describe(captureTimeOf(png)), "none");

    const fs::path month13 = copy("month13.jpg"), unset = copy("unset.jpg"), offset = copy("offset.jpg");
    writeExif(month13, {"-DateTimeOriginal=2024:13:01 10:00:00", "-SubSecTimeOriginal=5"});
    writeExif(unset, {"-DateTimeOriginal=0000:00:00 00:00:00"});
    EXPECT_EQ(describe(captureTimeOf(month13)), "none");
    EXPECT_EQ(describe(captureTimeOf(unset)), "none");
    // An offset out of range is left out, the time kept.
    writeExif(offset, {"-DateTimeOriginal=2024:02:29 23:59:59", "-OffsetTimeOriginal=+25:00"});
    EXPECT_EQ(describe(captureTimeOf(offset)), describe(CaptureTime{1709251199, 0, std::nullopt}));
}

// An EXIF structure Exiv2 cannot decode (its first directory beyond the segment's end) is a failure
// of reading, not a photo without a time.
TEST(CaptureTime, AnUndecodableExifStructureFailsToRead)
{
    std::vector<unsigned char> jpeg;
    ASSERT_TRUE(cv::imencode(".jpg", cv::Mat(8, 8, CV_8UC3, cv::Scalar(90, 120, 150)), jpeg));
    // An APP1 segment of 16 bytes after the start marker: "Exif\0\0", then a little-endian TIFF
    // header whose first directory lies at 0x1000, far past the segment's end.
    const std::vector<unsigned char> segment = {0xFF, 0xE1, 0x00, 0x10, 'E', 'x', 'i',  'f', 0,
                                                0,    'I',  'I',  42,   0,   0,   0x10, 0,   0};
    jpeg.insert(jpeg.begin() + 2, segment.begin(), segment.end());
    PhotoFile file;
    file.content = jpeg;
    file.format = PhotoFormat::jpeg;
    const IoResult<std::optional<CaptureTime>> time = readCaptureTime(file);
    EXPECT_EQ(time.message(), "truncated or corrupt data") << (time ? describe(time.value()) : "");
}

}  // namespace
}  // namespace dofmap
