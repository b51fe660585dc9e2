// Reading photographs as color and writing images, in a temporary folder of each test's own: JPEG
// files decoded as OpenCV decodes them, damaged files of every format refused with their reason.
#include "image_io.hpp"
#include "images.hpp"
#include "jpeg_reader.hpp"
#include "jpeg_writer.hpp"
#include "messages.hpp"
#include "png_writer.hpp"
#include "process.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <fstream>
#include <random>
#include <set>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <jpeglib.h>
}

namespace dofmap {
namespace {

namespace fs = std::filesystem;
using testing::firstDifference;
using testing::readFile;
using testing::runCommand;
using testing::TemporaryDirectory;

// A photo-like picture: smooth with fine noise, which JPEG keeps some detail of.
cv::Mat photoLike(int width, int height, unsigned seed)
{
    cv::Mat image;
    cv::resize(testing::randomImage(6, 5, seed), image, cv::Size(width, height), 0, 0, cv::INTER_CUBIC);
    return image + testing::randomImage(width, height, seed + 1) / 8;
}

std::vector<uchar> encoded(const std::string& extension, const cv::Mat& image, const std::vector<int>& params = {})
{
    std::vector<uchar> bytes;
    EXPECT_TRUE(cv::imencode(extension, image, bytes, params)) << extension;
    return bytes;
}

// A four-component (CMYK) JPEG of random inks, written by libjpeg with its defaults.
std::vector<uchar> cmykJpeg(int width, int height, unsigned seed)
{
    cv::Mat inks(height, width, CV_8UC4);
    cv::RNG(seed).fill(inks, cv::RNG::UNIFORM, 0, 256);
    jpeg_compress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = JDIMENSION(width);
    info.image_height = JDIMENSION(height);
    info.input_components = 4;
    info.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&info);
    jpeg_start_compress(&info, TRUE);
    for (int y = 0; y < height; ++y) {
        JSAMPROW row = inks.ptr<uchar>(y);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::vector<uchar> bytes(buffer, buffer + size);
    std::free(buffer);
    return bytes;
}

// The JPEG with an EXIF block saying it is to be shown with `orientation` (1 ... 8).
std::vector<uchar> withOrientation(std::vector<uchar> jpeg, int orientation)
{
    const std::vector<uchar> exif = {0xFF, 0xE1, 0x00, 0x22, 'E',  'x',  'i',  'f',  0,    0,  // APP1, length 34
                                     'M',  'M',  0x00, 0x2A, 0x00, 0x00, 0x00, 0x08,  // big-endian TIFF header
                                     0x00, 0x01,  // one entry: the orientation, one SHORT
                                     0x01, 0x12, 0x00, 0x03, 0x00, 0x00, 0x00, 0x01, 0x00, uchar(orientation),
                                     0x00, 0x00,  // padding of the value
                                     0x00, 0x00, 0x00, 0x00};  // no next directory
    jpeg.insert(jpeg.begin() + 2, exif.begin(), exif.end());
    return jpeg;
}

fs::path written(const fs::path& path, const std::vector<uchar>& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return path;
}

// The photo at `path` as readColorImage reads it, or empty with the words of its failure in `reason`.
cv::Mat readImage(const std::string& path, std::string& reason)
{
    const IoResult<cv::Mat> image = readColorImage(path);
    reason = image.message();
    return image ? image.value() : cv::Mat();
}

// Every kind of intact JPEG decodes to OpenCV's pixels exactly.
TEST(JpegReading, IntactFilesGiveOpenCvsPixels)
{
    const TemporaryDirectory folder("dofmap-io");
    const cv::Mat image = photoLike(97, 61, 1);
    cv::Mat gray;
    cv::cvtColor(image, gray, cv::COLOR_BGR2GRAY);
    std::vector<std::pair<std::string, std::vector<uchar>>> files = {
        {"baseline 4:2:0", encoded(".jpg", image)},
        {"progressive", encoded(".jpg", image, {cv::IMWRITE_JPEG_PROGRESSIVE, 1})},
        {"optimized", encoded(".jpg", image, {cv::IMWRITE_JPEG_OPTIMIZE, 1})},
        {"restart markers", encoded(".jpg", image, {cv::IMWRITE_JPEG_RST_INTERVAL, 3})},
        {"4:4:4", encoded(".jpg", image, {cv::IMWRITE_JPEG_LUMA_QUALITY, 90, cv::IMWRITE_JPEG_CHROMA_QUALITY, 91})},
        {"gray", encoded(".jpg", gray)},
        {"CMYK", cmykJpeg(45, 33, 2)},
    };
    const std::string demo = testing::readFile(DEMO_PHOTO);
    files.push_back({"demo photo", std::vector<uchar>(demo.begin(), demo.end())});
    for (int orientation = 1; orientation <= 8; ++orientation)
        files.push_back(
            {"EXIF orientation " + std::to_string(orientation), withOrientation(encoded(".jpg", image), orientation)});
    for (const auto& [what, bytes] : files) {
        const fs::path path = written(folder.path() / "photo.jpg", bytes);
        std::string reason = "unset";
        const cv::Mat ours = readImage(path.string(), reason);
        EXPECT_EQ(reason, "") << what;
        EXPECT_EQ(firstDifference(ours, cv::imread(path.string(), cv::IMREAD_COLOR)), "") << what;
    }
}

// Cut short anywhere, or declaring more pixels than it holds, a JPEG is refused: libjpeg only warns
// about it, and OpenCV decodes such files with a gray lower part.
TEST(JpegReading, DamagedFilesAreRefused)
{
    const TemporaryDirectory folder("dofmap-io");
    const cv::Mat image = photoLike(300, 200, 3);
    for (const bool progressive : {false, true}) {
        const std::vector<uchar> whole = encoded(".jpg", image, {cv::IMWRITE_JPEG_PROGRESSIVE, progressive ? 1 : 0});
        for (const std::size_t length : {std::size_t(3000), whole.size() / 2, whole.size() - 2}) {
            const fs::path path =
                written(folder.path() / "cut.jpg", std::vector<uchar>(whole.begin(), whole.begin() + long(length)));
            std::string reason;
            EXPECT_TRUE(readImage(path.string(), reason).empty()) << length << (progressive ? " progressive" : "");
            EXPECT_EQ(reason, "truncated or corrupt data") << length;
        }
    }
    // The frame header's height (two bytes after the frame marker's length and precision) raised.
    std::vector<uchar> tall = encoded(".jpg", image);
    for (std::size_t i = 0; i + 8 < tall.size(); ++i)
        if (tall[i] == 0xFF && tall[i + 1] == 0xC0) {
            tall[i + 5] = 0x4E;  // 20000 rows
            tall[i + 6] = 0x20;
            break;
        }
    std::string reason;
    EXPECT_TRUE(readImage(written(folder.path() / "tall.jpg", tall).string(), reason).empty());
    EXPECT_EQ(reason, "truncated or corrupt data");
}

// Damaged files of the other formats fail in OpenCV's decoders and are refused as damaged; files
// that are no image at all, missing ones and folders have reasons of their own.
TEST(ImageReading, EveryFailureHasItsReason)
{
    const TemporaryDirectory folder("dofmap-io");
    const cv::Mat image = photoLike(120, 80, 4);
    for (const std::string extension : {".png", ".tiff", ".webp", ".ppm"}) {
        const std::vector<uchar> whole = encoded(extension, image);
        const fs::path path = written(folder.path() / ("cut" + extension),
                                      std::vector<uchar>(whole.begin(), whole.begin() + long(whole.size() / 2)));
        std::string reason;
        EXPECT_TRUE(readImage(path.string(), reason).empty()) << extension;
        EXPECT_EQ(reason, "truncated or corrupt data") << extension;
    }
    const struct {
        std::string name;
        std::string content;
        std::string reason;
    } cases[] = {{"text.jpg", "not a JPEG", "not an image"},
                 {"empty.png", "", "not an image"},
                 // The size of a headerless sensor dump that LibRaw knows by its size alone.
                 {"notes.jpg", std::string(307200, 'x'), "not an image"}};
    for (const auto& c : cases) {
        std::ofstream(folder.path() / c.name) << c.content;
        std::string reason;
        EXPECT_TRUE(readImage((folder.path() / c.name).string(), reason).empty()) << c.name;
        EXPECT_EQ(reason, c.reason) << c.name;
    }
    std::string reason;
    EXPECT_TRUE(readImage((folder.path() / "missing.jpg").string(), reason).empty());
    EXPECT_EQ(reason, "no such file");
    fs::create_directory(folder.path() / "folder.jpg");
    EXPECT_TRUE(readImage((folder.path() / "folder.jpg").string(), reason).empty());
    EXPECT_EQ(reason, "is a folder");
    // What is not a regular file is never read: a FIFO without a writer would block, a device never end.
    ASSERT_EQ(::mkfifo((folder.path() / "fifo.jpg").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", folder.path() / "zero.jpg");
    for (const std::string name : {"fifo.jpg", "zero.jpg"}) {
        EXPECT_TRUE(readImage((folder.path() / name).string(), reason).empty()) << name;
        EXPECT_EQ(reason, "not a regular file") << name;
    }
}

// A stream (standard input) is read whole, through many reads of a pipe, and decoded as the file
// would be; past the limit it is refused, and no more than the limit is kept.
TEST(ImageReading, StreamsAreReadWholeWithinTheirLimit)
{
    const std::vector<uchar> png = encoded(".png", testing::randomImage(300, 200, 9));
    ASSERT_GT(png.size(), std::size_t(150000));  // more than two reads
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    std::thread writer([&] {
        EXPECT_EQ(writeAll(ends[1], png.data(), png.size()).message(), "");
        ::close(ends[1]);
    });
    PhotoFile file;
    const IoStatus loaded = loadPhotoStream(ends[0], file, std::int64_t(png.size()));
    writer.join();
    ::close(ends[0]);
    ASSERT_TRUE(loaded) << loaded.message();
    EXPECT_EQ(file.content, png);
    EXPECT_EQ(file.declaredSize, cv::Size(300, 200));
    EXPECT_EQ(firstDifference(decodePhoto(file).value(), cv::imdecode(png, cv::IMREAD_COLOR)), "");

    const TemporaryDirectory folder("dofmap-io");
    const fs::path path = written(folder.path() / "large.png", png);
    const int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    PhotoFile refused;
    const IoStatus tooLarge = loadPhotoStream(fd, refused, 100000);
    ::close(fd);
    EXPECT_EQ(tooLarge.message(), "too large (more than the memory allowed, 97.7 KiB)");
    EXPECT_LE(refused.content.capacity(), std::size_t(100000));
}

// Hundreds of truncations and byte flips of a small JPEG: each either decodes without a warning or
// fails with one of the reasons, never crashes, and the library prints nothing.
TEST(JpegReading, FuzzedFilesFailCleanlyAndSilently)
{
    const std::vector<uchar> whole = encoded(".jpg", photoLike(64, 48, 5), {cv::IMWRITE_JPEG_PROGRESSIVE, 1});
    std::mt19937 random(6);
    const std::set<std::string> reasons = {"not an image", "truncated or corrupt data", "out of memory"};
    int refused = 0;
    ::testing::internal::CaptureStderr();
    for (int i = 0; i < 400; ++i) {
        std::vector<uchar> bytes = whole;
        if (i % 2 == 0) {
            bytes.resize(std::uniform_int_distribution<std::size_t>(0, whole.size() - 1)(random));
        } else {
            for (int flips = 0; flips < 1 + i % 4; ++flips)
                bytes[std::uniform_int_distribution<std::size_t>(0, bytes.size() - 1)(random)] ^=
                    uchar(1 << (random() % 8));
        }
        const IoResult<cv::Mat> decoded = decodeJpeg(bytes.data(), bytes.size());
        const std::string reason = decoded.message();
        if (!decoded) {
            ++refused;
            ASSERT_EQ(reasons.count(reason), 1u) << "variant " << i << ": " << reason;
        } else {
            ASSERT_EQ(reason, "") << "variant " << i;
        }
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_GT(refused, 200);
}

TEST(ReadColorImage, GrayscaleFileBecomesThreeEqualChannels)
{
    const TemporaryDirectory folder("dofmap-io");
    const auto path = folder.path() / "gray.png";
    cv::Mat gray(20, 30, CV_8UC1);
    cv::randu(gray, 0, 256);
    ASSERT_TRUE(cv::imwrite(path.string(), gray));
    const cv::Mat color = readColorImage(path.string()).value();
    ASSERT_EQ(color.type(), CV_8UC3);
    cv::Mat channels[3];
    cv::split(color, channels);
    for (const cv::Mat& channel : channels) EXPECT_EQ(firstDifference(channel, gray), "");
}

// Whether libpng's own checker takes the file as a valid PNG.
bool pngfixAccepts(const fs::path& path)
{
    const testing::RunResult result = runCommand({"pngfix", path.string()}, path.parent_path());
    return result.status == 0;
}

TEST(PngWriting, FilesAreValidAndHoldTheImageWhateverTheSizeAndOrder)
{
    const TemporaryDirectory folder("dofmap-png");
    PngEncoder encoder;
    // Large, then small, then odd sizes through one encoder, which keeps its buffers; a view into a
    // larger image; gray and color.
    const cv::Mat wide = photoLike(1203, 5, 30);
    const struct {
        const char* name;
        cv::Mat image;
    } cases[] = {
        {"large.png", photoLike(640, 480, 31)},
        {"pixel.png", testing::randomImage(1, 1, 32)},
        {"column.PNG", testing::randomImage(1, 57, 33)},
        {"row.png", testing::randomImage(300, 1, 34)},
        {"view.png", wide(cv::Rect(7, 1, 999, 3))},
        {"gray.png",
         [] {
             cv::Mat gray;
             cv::cvtColor(photoLike(333, 222, 35), gray, cv::COLOR_BGR2GRAY);
             return gray;
         }()},
        {"gray-extremes.png",
         [] {
             cv::Mat gray(9, 17, CV_8UC1);
             for (int y = 0; y < gray.rows; ++y)
                 for (int x = 0; x < gray.cols; ++x) gray.at<uchar>(y, x) = (x + y) % 2 ? 255 : 0;
             return gray;
         }()},
    };
    for (const auto& c : cases) {
        const fs::path path = folder.path() / c.name;
        ASSERT_TRUE(PngEncoder::handles(c.image)) << c.name;
        ASSERT_EQ(writeImage(path.string(), c.image, {}, &encoder).message(), "") << c.name;
        EXPECT_EQ(readFile(path).substr(1, 3), "PNG") << c.name;
        const cv::Mat back = cv::imread(path.string(), cv::IMREAD_UNCHANGED);
        EXPECT_EQ(firstDifference(back, c.image), "") << c.name;
        EXPECT_TRUE(pngfixAccepts(path)) << c.name;
    }
    EXPECT_GE(encoder.keptBytes(), std::size_t(640 * 3 + 1) * 480);

    // The checker is not blind: a changed byte in the compressed data fails its CRC.
    std::string bytes = readFile(folder.path() / "large.png");
    bytes[bytes.size() / 2] = char(bytes[bytes.size() / 2] ^ 0x20);
    std::ofstream(folder.path() / "damaged.png", std::ios::binary) << bytes;
    EXPECT_FALSE(pngfixAccepts(folder.path() / "damaged.png"));
}

TEST(PngWriting, MapsAreNoLargerThanTheGeneralEncodersAndOtherKindsStillWrite)
{
    const TemporaryDirectory folder("dofmap-png");
    // A map-like picture: smooth gray levels with a little noise.
    cv::Mat map;
    cv::resize(testing::randomImage(12, 9, 40), map, cv::Size(1200, 900), 0, 0, cv::INTER_CUBIC);
    cv::cvtColor(map, map, cv::COLOR_BGR2GRAY);
    cv::Mat noise(map.size(), CV_8UC1);
    cv::RNG(41).fill(noise, cv::RNG::UNIFORM, 0, 3);
    map += noise;
    ASSERT_EQ(writeImage((folder.path() / "map.png").string(), map).message(), "");
    const std::size_t ours = fs::file_size(folder.path() / "map.png");
    const std::size_t general = encoded(".png", map).size();
    EXPECT_LE(double(ours), 1.25 * double(general)) << ours << " bytes against " << general;

    // 16-bit and four-channel images, and PNGs with parameters, go through OpenCV's encoder.
    const cv::Mat deep(20, 30, CV_16UC1, cv::Scalar(40000));
    const cv::Mat alpha(20, 30, CV_8UC4, cv::Scalar(1, 2, 3, 4));
    EXPECT_FALSE(PngEncoder::handles(deep));
    EXPECT_FALSE(PngEncoder::handles(alpha));
    ASSERT_EQ(writeImage((folder.path() / "deep.png").string(), deep).message(), "");
    ASSERT_EQ(writeImage((folder.path() / "alpha.png").string(), alpha).message(), "");
    ASSERT_EQ(writeImage((folder.path() / "level9.png").string(), map, {cv::IMWRITE_PNG_COMPRESSION, 9}).message(), "");
    EXPECT_EQ(firstDifference(cv::imread((folder.path() / "deep.png").string(), cv::IMREAD_UNCHANGED), deep), "");
    EXPECT_EQ(firstDifference(cv::imread((folder.path() / "alpha.png").string(), cv::IMREAD_UNCHANGED), alpha), "");
    EXPECT_EQ(firstDifference(cv::imread((folder.path() / "level9.png").string(), cv::IMREAD_UNCHANGED), map), "");
}

// Written without OpenCV's codecs, JPEGs are byte for byte what OpenCV's encoder writes: gray and
// color, odd sizes, a region of a larger image, OpenCV's default quality and others.
TEST(JpegWriting, BytesAreOpenCvsWhateverTheSizeAndQuality)
{
    const cv::Mat wide = photoLike(301, 203, 70);
    cv::Mat gray;
    cv::cvtColor(wide, gray, cv::COLOR_BGR2GRAY);
    cv::Mat noise(400, 600, CV_8UC3);  // over 64 KiB of JPEG: the buffer grows several times
    cv::RNG(71).fill(noise, cv::RNG::UNIFORM, 0, 256);
    const std::vector<std::pair<std::string, cv::Mat>> images = {{"color", wide},
                                                                 {"noise", noise},
                                                                 {"gray", gray},
                                                                 {"1 x 1", wide(cv::Rect(5, 7, 1, 1))},
                                                                 {"region", wide(cv::Rect(3, 2, 17, 130))},
                                                                 {"gray region", gray(cv::Rect(1, 1, 299, 9))}};
    for (const auto& [what, image] : images) {
        for (const int quality : {kDefaultJpegQuality, 85, 1, 100}) {
            std::vector<unsigned char> ours(std::size_t(1) << 21, 0xab);  // replaced, not added to
            ASSERT_EQ(encodeJpeg(image, quality, ours).message(), "") << what;
            EXPECT_TRUE(ours == encoded(".jpg", image, {cv::IMWRITE_JPEG_QUALITY, quality}))
                << what << " at quality " << quality << ": " << ours.size() << " bytes";
        }
    }
    // The programs' writes without parameters take the default quality.
    const TemporaryDirectory folder("dofmap-jpeg");
    ASSERT_EQ(writeImage((folder.path() / "map.JPEG").string(), gray).message(), "");
    const std::string written = readFile(folder.path() / "map.JPEG");
    const std::vector<uchar> expected = encoded(".jpg", gray);
    EXPECT_TRUE(written == std::string(expected.begin(), expected.end()));
}

// The formats left to OpenCV's codecs, loaded when a file first needs them, are read as cv::imread
// reads them: color, gray, 16-bit, with alpha.
TEST(ImageReading, OtherFormatsGiveOpenCvsPixels)
{
    const TemporaryDirectory folder("dofmap-formats");
    const cv::Mat color = photoLike(64, 48, 80);
    cv::Mat gray, deep, alpha;
    cv::cvtColor(color, gray, cv::COLOR_BGR2GRAY);
    color.convertTo(deep, CV_16UC3, 257.0, 3.0);
    cv::cvtColor(color, alpha, cv::COLOR_BGR2BGRA);
    const std::vector<std::pair<std::string, cv::Mat>> files = {
        {"color.png", color}, {"gray.png", gray},    {"deep.png", deep},   {"alpha.png", alpha}, {"color.tif", color},
        {"deep.tif", deep},   {"color.webp", color}, {"color.bmp", color}, {"color.ppm", color}, {"gray.pgm", gray}};
    for (const auto& [name, image] : files) {
        const std::string path = (folder.path() / name).string();
        ASSERT_TRUE(cv::imwrite(path, image)) << name;
        const IoResult<cv::Mat> read = readColorImage(path);
        ASSERT_EQ(read.message(), "") << name;
        EXPECT_EQ(firstDifference(read.value(), cv::imread(path, cv::IMREAD_COLOR)), "") << name;
    }
}

}  // namespace
}  // namespace dofmap
