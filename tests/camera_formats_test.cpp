// Photos as cameras and phones make them: RAW files developed as dcraw_emu -w develops them, HEIC and
// AVIF files decoded as heif-convert writes them, every format known by its content, and damaged
// files of each refused with their reason. The files are made in each test's own folder.
#include "camera_files.hpp"
#include "image_io.hpp"
#include "images.hpp"
#include "process.hpp"
#include "raw_structure.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstring>
#include <fstream>
#include <random>
#include <set>

namespace dofmap {
namespace {

namespace fs = std::filesystem;
using testing::firstDifference;
using testing::TemporaryDirectory;

// A picture that looks different in each of its eight orientations: gradients across and down, and
// a bright block near one corner, with fine noise for the codecs to keep.
cv::Mat asymmetricPhoto(int width, int height, unsigned seed)
{
    cv::Mat image(height, width, CV_8UC3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.at<cv::Vec3b>(y, x) = cv::Vec3b(uchar(40 + 170 * x / width), uchar(40 + 170 * y / height), 90);
    cv::rectangle(image, cv::Rect(width / 8, height / 6, width / 5, height / 4), cv::Scalar(250, 250, 250), cv::FILLED);
    cv::Mat noise(image.size(), CV_8UC3);
    cv::RNG(seed).fill(noise, cv::RNG::UNIFORM, 0, 16);
    return image + noise;
}

// Which of the eight orientations of `photo` `image` looks most like, judged on gray levels after
// each is scaled to `image`'s mean (the development brightens).
int nearestOrientation(const cv::Mat& image, const cv::Mat& photo)
{
    cv::Mat gray;
    cv::cvtColor(image, gray, cv::COLOR_BGR2GRAY);
    gray.convertTo(gray, CV_32F, 1.0 / std::max(1.0, cv::mean(gray)[0]));
    int nearest = 0;
    double least = 1e300;
    for (int orientation = 1; orientation <= 8; ++orientation) {
        cv::Mat candidate;
        cv::cvtColor(testing::oriented(photo, orientation), candidate, cv::COLOR_BGR2GRAY);
        if (candidate.size() != gray.size()) continue;
        candidate.convertTo(candidate, CV_32F, 1.0 / std::max(1.0, cv::mean(candidate)[0]));
        const double distance = cv::norm(gray, candidate, cv::NORM_L1);
        if (distance < least) {
            least = distance;
            nearest = orientation;
        }
    }
    return nearest;
}

// The photo at `path` decoded, or empty with the reason in `reason`.
cv::Mat decoded(const fs::path& path, std::string& reason, RawDevelopment raw = RawDevelopment::full)
{
    PhotoFile file;
    const IoStatus loaded = loadPhotoFile(path.string(), file);
    const IoResult<cv::Mat> image = loaded ? decodePhoto(file, raw) : IoResult<cv::Mat>(loaded.error());
    reason = image.message();
    return image ? image.value() : cv::Mat();
}

PhotoFormat formatOf(const fs::path& path)
{
    PhotoFile file;
    const IoStatus loaded = loadPhotoFile(path.string(), file);
    EXPECT_TRUE(loaded) << path << ": " << loaded.message();
    return file.format;
}

// Mosaicked DNG files of odd and even sizes in every orientation develop to dcraw_emu -w's pixels,
// turned as the orientation tag says, and their headers declare the developed size.
TEST(RawReading, DngFilesDevelopAsDcrawEmuDevelopsThem)
{
    const TemporaryDirectory folder("dofmap-raw");
    const cv::Mat photo = asymmetricPhoto(161, 118, 1);
    for (int orientation = 1; orientation <= 8; ++orientation) {
        SCOPED_TRACE("orientation " + std::to_string(orientation));
        const cv::Mat source = orientation == 5 ? asymmetricPhoto(96, 131, 2) : photo;
        const fs::path path = folder.path() / ("shot" + std::to_string(orientation) + ".dng");
        testing::DngOptions options;
        options.orientation = orientation;
        ASSERT_EQ(testing::writeBayerDng(path, source, options), "");
        std::string error;
        const cv::Mat expected = testing::dcrawEmuImage(path, error);
        ASSERT_FALSE(expected.empty()) << error;

        PhotoFile file;
        const IoStatus loaded = loadPhotoFile(path.string(), file);
        ASSERT_TRUE(loaded) << loaded.message();
        EXPECT_EQ(file.format, PhotoFormat::raw);
        ASSERT_TRUE(file.declaredSize.has_value());
        EXPECT_EQ(*file.declaredSize, expected.size());
        EXPECT_GT(file.decoderBytes, std::int64_t(source.total()) * 8);
        const IoResult<cv::Mat> decodedImage = decodePhoto(file);
        ASSERT_EQ(decodedImage.message(), "");
        const cv::Mat& image = decodedImage.value();
        EXPECT_EQ(firstDifference(image, expected), "");
        EXPECT_EQ(nearestOrientation(image, source), orientation);
    }
}

// HEIC files (8-bit, 10-bit, with alpha, of odd size, turned and mirrored by their orientation) and
// AVIF files decode to the pixels of the PNG that heif-convert writes for them, read by OpenCV.
TEST(HeifReading, HeicAndAvifFilesDecodeAsHeifConvertWritesThem)
{
    const TemporaryDirectory folder("dofmap-heif");
    const fs::path& dir = folder.path();
    const cv::Mat photo = asymmetricPhoto(150, 101, 3);
    cv::imwrite((dir / "photo.png").string(), photo);
    cv::Mat deep;
    photo.convertTo(deep, CV_16U, 257.0);
    deep += cv::Scalar(37, 101, 200);  // low bits that the top eight do not tell
    cv::imwrite((dir / "deep.png").string(), deep);
    cv::Mat withAlpha;
    cv::cvtColor(photo, withAlpha, cv::COLOR_BGR2BGRA);
    cv::randu(withAlpha.reshape(1).colRange(0, 1), 0, 256);
    cv::imwrite((dir / "alpha.png").string(), withAlpha);
    cv::imwrite((dir / "odd.png").string(), photo(cv::Rect(0, 0, 77, 51)));

    const std::vector<std::vector<std::string>> encodings = {{"heif-enc", "-q", "85", "photo.png", "-o", "photo.heic"},
                                                             {"heif-enc", "-b", "10", "deep.png", "-o", "deep.heic"},
                                                             {"heif-enc", "alpha.png", "-o", "alpha.heic"},
                                                             {"heif-enc", "odd.png", "-o", "odd.heic"},
                                                             {"heif-enc", "-A", "photo.png", "-o", "photo.avif"},
                                                             {"heif-enc", "-A", "odd.png", "-o", "odd.avif"}};
    std::vector<std::string> names;
    for (const std::vector<std::string>& encoding : encodings) {
        ASSERT_EQ(testing::runTool(encoding, dir), "");
        names.push_back(encoding.back());
    }
    for (const int orientation : {2, 3, 6, 7, 8}) {
        const std::string name = "turned" + std::to_string(orientation) + ".heic";
        ASSERT_EQ(testing::writeOrientedHeic(dir / name, photo, orientation), "");
        names.push_back(name);
    }
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        std::string error;
        const cv::Mat expected = testing::heifConvertImage(dir / name, error);
        ASSERT_FALSE(expected.empty()) << error;
        PhotoFile file;
        const IoStatus loaded = loadPhotoFile((dir / name).string(), file);
        ASSERT_TRUE(loaded) << loaded.message();
        EXPECT_EQ(file.format, PhotoFormat::heif);
        ASSERT_TRUE(file.declaredSize.has_value());
        EXPECT_EQ(*file.declaredSize, expected.size());
        const IoResult<cv::Mat> decodedImage = decodePhoto(file);
        ASSERT_EQ(decodedImage.message(), "");
        const cv::Mat& image = decodedImage.value();
        EXPECT_EQ(firstDifference(image, expected), "");
        if (name.rfind("turned", 0) == 0) {
            EXPECT_EQ(nearestOrientation(image, photo), name[6] - '0');
        }
    }
}

// A file is read by what it holds, whatever its name says; a TIFF that is not a RAW file is still
// OpenCV's to decode.
TEST(PhotoFormats, ContentDecidesNotTheName)
{
    const TemporaryDirectory folder("dofmap-formats");
    const fs::path& dir = folder.path();
    const cv::Mat photo = asymmetricPhoto(90, 64, 4);
    ASSERT_EQ(testing::writeBayerDng(dir / "raw.dng", photo), "");
    cv::imwrite((dir / "photo.png").string(), photo);
    cv::imwrite((dir / "photo.tif").string(), photo);
    ASSERT_EQ(testing::runTool({"heif-enc", "photo.png", "-o", "photo.heic"}, dir), "");
    const struct {
        std::string file, disguise;
        PhotoFormat format;
    } cases[] = {{"raw.dng", "raw.jpg", PhotoFormat::raw},
                 {"photo.heic", "heic.jpg", PhotoFormat::heif},
                 {"photo.png", "png.jpg", PhotoFormat::png},
                 {"photo.png", "png.heic", PhotoFormat::png},
                 {"photo.tif", "tif.dng", PhotoFormat::tiff}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.disguise);
        fs::copy_file(dir / c.file, dir / c.disguise, fs::copy_options::overwrite_existing);
        EXPECT_EQ(formatOf(dir / c.disguise), c.format);
        std::string reason, disguisedReason;
        const cv::Mat expected = decoded(dir / c.file, reason);
        ASSERT_FALSE(expected.empty()) << reason;
        EXPECT_EQ(firstDifference(decoded(dir / c.disguise, disguisedReason), expected), "") << disguisedReason;
    }
    std::string reason;
    EXPECT_EQ(firstDifference(decoded(dir / "photo.tif", reason), photo), "") << reason;
}

// Cut short anywhere, DNG, HEIC and AVIF files are refused as damaged, never decoded in part (nor a
// DNG as the preview in its first directory); the libraries print nothing.
TEST(PhotoFormats, DamagedCameraFilesAreRefused)
{
    const TemporaryDirectory folder("dofmap-damaged");
    const fs::path& dir = folder.path();
    const cv::Mat photo = asymmetricPhoto(120, 90, 5);
    testing::DngOptions withPreview;
    withPreview.previewHalvings = 1;
    ASSERT_EQ(testing::writeBayerDng(dir / "plain.dng", photo), "");
    ASSERT_EQ(testing::writeBayerDng(dir / "preview.dng", photo, withPreview), "");
    cv::imwrite((dir / "photo.png").string(), photo);
    ASSERT_EQ(testing::runTool({"heif-enc", "photo.png", "-o", "photo.heic"}, dir), "");
    ASSERT_EQ(testing::runTool({"heif-enc", "-A", "photo.png", "-o", "photo.avif"}, dir), "");

    ::testing::internal::CaptureStderr();
    for (const std::string name : {"plain.dng", "preview.dng", "photo.heic", "photo.avif"}) {
        for (const double share : {0.05, 0.3, 0.5, 0.8, 0.97, 0.999}) {
            SCOPED_TRACE(name + " cut to " + std::to_string(share));
            testing::writeTruncated(dir / name, dir / ("cut-" + name), share);
            for (const RawDevelopment raw : {RawDevelopment::full, RawDevelopment::previewWhenLarge}) {
                std::string reason;
                EXPECT_TRUE(decoded(dir / ("cut-" + name), reason, raw).empty());
                EXPECT_EQ(reason, "truncated or corrupt data");
            }
        }
    }
    // The brands of a HEIF file in front of bytes that are no container.
    std::ofstream(dir / "brands.heic", std::ios::binary) << std::string("\0\0\0\x18"
                                                                        "ftypheic\0\0\0\0mif1heic",
                                                                        24)
                                                         << std::string(200, 'x');
    std::string reason;
    EXPECT_TRUE(decoded(dir / "brands.heic", reason).empty());
    EXPECT_EQ(reason, "truncated or corrupt data");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

// Bytes changed inside coded data, where the decoders notice: a marker in the middle of a lossy
// DNG's JPEG tile (libjpeg warns of a premature end, which LibRaw itself ignores and prints), and
// bytes changed in a HEIC file's HEVC data (libde265 warns, which libheif ignores). Intact, both
// develop as the reference tools make them; and the libraries print nothing either way.
TEST(PhotoFormats, ChangedCodedDataIsRefusedWhereTheDecodersNoticeIt)
{
    const TemporaryDirectory folder("dofmap-changed");
    const fs::path& dir = folder.path();
    const cv::Mat photo = asymmetricPhoto(200, 150, 9);
    ASSERT_EQ(testing::writeLossyDng(dir / "lossy.dng", photo), "");
    cv::imwrite((dir / "photo.png").string(), photo);
    ASSERT_EQ(testing::runTool({"heif-enc", "photo.png", "-o", "photo.heic"}, dir), "");
    std::string error;
    const cv::Mat developed = testing::dcrawEmuImage(dir / "lossy.dng", error);
    ASSERT_FALSE(developed.empty()) << error;
    const cv::Mat converted = testing::heifConvertImage(dir / "photo.heic", error);
    ASSERT_FALSE(converted.empty()) << error;
    const auto written = [&](const std::vector<unsigned char>& bytes) {
        std::ofstream(dir / "changed", std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        return dir / "changed";
    };

    ::testing::internal::CaptureStderr();
    std::string reason;
    EXPECT_EQ(firstDifference(decoded(dir / "lossy.dng", reason), developed), "") << reason;
    EXPECT_EQ(firstDifference(decoded(dir / "photo.heic", reason), converted), "") << reason;
    PhotoFile dng, heic;
    ASSERT_TRUE(loadPhotoFile((dir / "lossy.dng").string(), dng));
    ASSERT_TRUE(loadPhotoFile((dir / "photo.heic").string(), heic));
    const std::vector<FilePart> tiles = lossyJpegParts(dng.content.data(), dng.content.size());
    ASSERT_EQ(tiles.size(), 12u);
    std::vector<unsigned char> marked = dng.content;
    marked[tiles[5].offset + tiles[5].length / 2] = 0xff;
    marked[tiles[5].offset + tiles[5].length / 2 + 1] = 0xd9;  // the end of the image, too early
    EXPECT_TRUE(decoded(written(marked), reason).empty());
    EXPECT_EQ(reason, "truncated or corrupt data");
    std::mt19937 random(10);
    // Sixteen bytes changed at a few places in the middle of the file, where the coded data lies.
    for (const double at : {0.35, 0.5, 0.65}) {
        SCOPED_TRACE("HEIC changed at " + std::to_string(at));
        std::vector<unsigned char> bytes = heic.content;
        for (std::size_t i = 0; i < 16; ++i)
            bytes[std::size_t(at * double(bytes.size())) + i] ^= uchar(1 + random() % 255);
        EXPECT_TRUE(decoded(written(bytes), reason).empty());
        EXPECT_EQ(reason, "truncated or corrupt data");
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

// Byte flips and cuts anywhere in a DNG and a HEIC file: each decodes or fails with one of the
// reasons, and nothing crashes.
TEST(PhotoFormats, FuzzedCameraFilesFailCleanly)
{
    const TemporaryDirectory folder("dofmap-fuzz");
    const fs::path& dir = folder.path();
    const cv::Mat photo = asymmetricPhoto(64, 48, 6);
    ASSERT_EQ(testing::writeBayerDng(dir / "shot.dng", photo), "");
    cv::imwrite((dir / "photo.png").string(), photo);
    ASSERT_EQ(testing::runTool({"heif-enc", "photo.png", "-o", "photo.heic"}, dir), "");
    const std::set<std::string> reasons = {"not an image", "truncated or corrupt data", "unsupported image",
                                           "out of memory", "too large for the RAW decoder"};
    std::mt19937 random(7);
    for (const std::string name : {"shot.dng", "photo.heic"}) {
        PhotoFile whole;
        std::string reason;
        ASSERT_TRUE(loadPhotoFile((dir / name).string(), whole));
        for (int i = 0; i < 60; ++i) {
            std::vector<unsigned char> bytes = whole.content;
            if (i % 3 == 0) {
                bytes.resize(std::uniform_int_distribution<std::size_t>(1, bytes.size() - 1)(random));
            } else {
                for (int flips = 0; flips < 1 + i % 5; ++flips)
                    bytes[std::uniform_int_distribution<std::size_t>(0, bytes.size() - 1)(random)] ^=
                        uchar(1 << (random() % 8));
            }
            std::ofstream(dir / "variant", std::ios::binary)
                .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
            const cv::Mat image = decoded(dir / "variant", reason);
            if (image.empty()) {
                ASSERT_EQ(reasons.count(reason), 1u) << name << " variant " << i << ": " << reason;
            } else {
                ASSERT_EQ(image.type(), CV_8UC3) << name << " variant " << i;
            }
        }
    }
}

// The preview a RAW file holds is taken instead of the sensor data only when asked and only when it
// is at least half the sensor's width, and it is turned by the file's orientation.
TEST(RawReading, PreviewIsTakenWhenAskedAndLargeEnough)
{
    const TemporaryDirectory folder("dofmap-preview");
    const fs::path& dir = folder.path();
    const cv::Mat photo = asymmetricPhoto(200, 140, 8);
    cv::Mat half;
    cv::pyrDown(photo, half);
    for (const int orientation : {1, 6}) {
        SCOPED_TRACE("orientation " + std::to_string(orientation));
        testing::DngOptions options;
        options.orientation = orientation;
        options.previewHalvings = 1;
        ASSERT_EQ(testing::writeBayerDng(dir / "half.dng", photo, options), "");
        options.jpegPreview = true;
        ASSERT_EQ(testing::writeBayerDng(dir / "jpeg.dng", photo, options), "");
        options.jpegPreview = false;
        options.previewHalvings = 2;
        ASSERT_EQ(testing::writeBayerDng(dir / "quarter.dng", photo, options), "");

        std::string reason, error;
        EXPECT_EQ(firstDifference(decoded(dir / "half.dng", reason, RawDevelopment::previewWhenLarge),
                                  testing::oriented(half, orientation)),
                  "");
        const cv::Mat fromJpeg = decoded(dir / "jpeg.dng", reason, RawDevelopment::previewWhenLarge);
        ASSERT_EQ(fromJpeg.size(), testing::oriented(half, orientation).size()) << reason;
        EXPECT_LT(cv::norm(fromJpeg, testing::oriented(half, orientation), cv::NORM_L1) / double(fromJpeg.total()),
                  3 * 3.0);
        // Too small a preview, or none asked for: the sensor data, developed.
        EXPECT_EQ(firstDifference(decoded(dir / "quarter.dng", reason, RawDevelopment::previewWhenLarge),
                                  testing::dcrawEmuImage(dir / "quarter.dng", error)),
                  "")
            << error;
        EXPECT_EQ(firstDifference(decoded(dir / "half.dng", reason), testing::dcrawEmuImage(dir / "half.dng", error)),
                  "")
            << error;
    }
}

// The structure walk finds a part cut off in the RAW containers that are not TIFF files: the boxes
// of an ISO media file (CR3) and the parts a RAF header locates.
TEST(RawStructure, PartsBeyondTheEndAreFound)
{
    const auto bigEndian = [](std::vector<unsigned char>& bytes, std::size_t at, std::uint32_t value) {
        for (int i = 0; i < 4; ++i) bytes[at + std::size_t(i)] = static_cast<unsigned char>(value >> (24 - 8 * i));
    };
    // ftyp (20 bytes), moov (16), mdat (64).
    std::vector<unsigned char> media(100, 0);
    bigEndian(media, 0, 20);
    std::memcpy(media.data() + 4, "ftypcrx \0\0\0\1crx ", 16);
    bigEndian(media, 20, 16);
    std::memcpy(media.data() + 24, "moov", 4);
    bigEndian(media, 36, 64);
    std::memcpy(media.data() + 40, "mdat", 4);
    EXPECT_TRUE(rawFileComplete(media.data(), media.size()));
    for (const std::size_t cut : {99, 60, 37, 30, 10})
        EXPECT_FALSE(rawFileComplete(media.data(), cut)) << "ISO media cut to " << cut;

    // A RAF header locating a preview at 120 (30 bytes), sensor data's header at 150 (10) and the
    // sensor data at 160 (40).
    std::vector<unsigned char> raf(200, 0);
    std::memcpy(raf.data(), "FUJIFILMCCD-RAW 0201FF383501", 28);
    const std::uint32_t parts[] = {120, 30, 150, 10, 160, 40};
    for (std::size_t i = 0; i < 6; ++i) bigEndian(raf, 84 + 4 * i, parts[i]);
    EXPECT_TRUE(rawFileComplete(raf.data(), raf.size()));
    for (const std::size_t cut : {199, 170, 155, 100})
        EXPECT_FALSE(rawFileComplete(raf.data(), cut)) << "RAF cut to " << cut;
}

}  // namespace
}  // namespace dofmap
