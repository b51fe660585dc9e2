// Camera files made in the tests: raw DNG files mosaicked from a photo, written with libtiff; HEIC
// files turned by their orientation, written with libheif; and the images the reference tools
// (LibRaw's dcraw_emu, libheif's heif-enc and heif-convert) make of them.
#include "camera_files.hpp"

#include "process.hpp"

#include <libheif/heif.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <tiffio.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

namespace dofmap::testing {
namespace {

struct TiffCloser {
    void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};

// Sets the array-valued `tag`, passing its count when this libtiff's definition of the tag asks for
// one (libtiff versions differ on the pattern tags).
template <typename T>
void setArray(TIFF* tiff, ttag_t tag, std::uint16_t count, const T* values)
{
    const TIFFField* field = TIFFFieldWithTag(tiff, tag);
    if (field != nullptr && TIFFFieldPassCount(field))
        TIFFSetField(tiff, tag, count, values);
    else
        TIFFSetField(tiff, tag, values);
}

// The tags every DNG reader looks for first, in the first directory.
void setCameraTags(TIFF* tiff, int orientation)
{
    static const std::uint8_t version[4] = {1, 4, 0, 0};
    static const std::uint8_t backward[4] = {1, 1, 0, 0};
    // XYZ to camera: sRGB's matrix, so that the camera's colors are sRGB's.
    static const float colorMatrix[9] = {3.2406f, -1.5372f, -0.4986f, -0.9689f, 1.8758f,
                                         0.0415f, 0.0557f,  -0.2040f, 1.0570f};
    static const float neutral[3] = {1.0f, 1.0f, 1.0f};
    setArray(tiff, TIFFTAG_DNGVERSION, 4, version);
    setArray(tiff, TIFFTAG_DNGBACKWARDVERSION, 4, backward);
    TIFFSetField(tiff, TIFFTAG_MAKE, "Test");
    TIFFSetField(tiff, TIFFTAG_MODEL, "Mosaic");
    TIFFSetField(tiff, TIFFTAG_UNIQUECAMERAMODEL, "Test Mosaic");
    TIFFSetField(tiff, TIFFTAG_ORIENTATION, std::uint16_t(orientation));
    setArray(tiff, TIFFTAG_COLORMATRIX1, 9, colorMatrix);
    TIFFSetField(tiff, TIFFTAG_CALIBRATIONILLUMINANT1, std::uint16_t(21));  // D65
    setArray(tiff, TIFFTAG_ASSHOTNEUTRAL, 3, neutral);
}

// The photo's RGGB mosaic, each sample linearized from the photo's 8-bit value.
cv::Mat mosaicOf(const cv::Mat& photo)
{
    std::uint16_t linear[256];
    for (int v = 0; v < 256; ++v) linear[v] = std::uint16_t(std::lround(std::pow(v / 255.0, 2.2) * 65535.0));
    cv::Mat mosaic(photo.size(), CV_16UC1);
    for (int y = 0; y < photo.rows; ++y)
        for (int x = 0; x < photo.cols; ++x) {
            const cv::Vec3b& bgr = photo.at<cv::Vec3b>(y, x);
            const int channel = y % 2 == 0 ? (x % 2 == 0 ? 2 : 1) : (x % 2 == 0 ? 1 : 0);
            mosaic.at<std::uint16_t>(y, x) = linear[bgr[channel]];
        }
    return mosaic;
}

bool writeRows(TIFF* tiff, const cv::Mat& image)
{
    for (int y = 0; y < image.rows; ++y)
        if (TIFFWriteScanline(tiff, const_cast<uchar*>(image.ptr(y)), std::uint32_t(y), 0) < 0) return false;
    return true;
}

}  // namespace

std::string writeBayerDng(const std::filesystem::path& path, const cv::Mat& photo, const DngOptions& options)
{
    const std::unique_ptr<TIFF, TiffCloser> tiff(TIFFOpen(path.c_str(), "w"));
    if (!tiff) return "cannot create " + path.string();
    TIFF* const t = tiff.get();
    const bool withPreview = options.previewHalvings >= 0;

    // The Exif directory goes first, outside the chain of image directories, so that the first
    // directory can point to it.
    std::uint64_t exifDirectory = 0;
    if (!options.dateTimeOriginal.empty()) {
        // libtiff's directory calls return 0 on success, the writes 1.
        if (TIFFCreateEXIFDirectory(t) != 0) return "cannot make the Exif directory of " + path.string();
        TIFFSetField(t, EXIFTAG_DATETIMEORIGINAL, options.dateTimeOriginal.c_str());
        if (!options.subSecTimeOriginal.empty())
            TIFFSetField(t, EXIFTAG_SUBSECTIMEORIGINAL, options.subSecTimeOriginal.c_str());
        if (!TIFFWriteCustomDirectory(t, &exifDirectory)) return "cannot write the Exif directory of " + path.string();
        // Its values are let go before the image's directory is set up (which would keep them).
        TIFFFreeDirectory(t);
        if (TIFFCreateDirectory(t) != 0) return "cannot make the first directory of " + path.string();
    }
    const auto pointToExif = [&] {
        if (exifDirectory != 0) TIFFSetField(t, TIFFTAG_EXIFIFD, exifDirectory);
    };

    if (withPreview) {
        cv::Mat preview = photo;
        for (int i = 0; i < options.previewHalvings; ++i) cv::pyrDown(preview, preview);
        cv::Mat rgb;
        cv::cvtColor(preview, rgb, cv::COLOR_BGR2RGB);
        toff_t subdirectory = 0;
        TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_REDUCEDIMAGE);
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, std::uint32_t(rgb.cols));
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, std::uint32_t(rgb.rows));
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, std::uint16_t(8));
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, std::uint16_t(3));
        TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        if (options.jpegPreview) {
            // One strip holding a whole JPEG stream, its tables inside, as cameras store previews.
            TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_JPEG);
            TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_YCBCR);
            TIFFSetField(t, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
            TIFFSetField(t, TIFFTAG_JPEGTABLESMODE, 0);
            TIFFSetField(t, TIFFTAG_JPEGQUALITY, 95);
        } else {
            TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
            TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
        }
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, std::uint32_t((rgb.rows + 15) / 16 * 16));
        setArray(t, TIFFTAG_SUBIFD, 1, &subdirectory);
        setCameraTags(t, options.orientation);
        pointToExif();
        if (!writeRows(t, rgb) || !TIFFWriteDirectory(t)) return "cannot write the preview of " + path.string();
    }

    const cv::Mat mosaic = mosaicOf(photo);
    static const std::uint16_t patternSize[2] = {2, 2};
    static const std::uint8_t pattern[4] = {0, 1, 1, 2};  // red, green / green, blue
    static const float black[1] = {0.0f};
    static const std::uint32_t white[1] = {65535};
    TIFFSetField(t, TIFFTAG_SUBFILETYPE, 0);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, std::uint32_t(mosaic.cols));
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, std::uint32_t(mosaic.rows));
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, std::uint16_t(16));
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, std::uint16_t(1));
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, std::uint16_t(32803));  // color filter array
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, std::uint32_t(16));
    setArray(t, TIFFTAG_CFAREPEATPATTERNDIM, 2, patternSize);
    setArray(t, TIFFTAG_CFAPATTERN, 4, pattern);
    setArray(t, TIFFTAG_BLACKLEVEL, 1, black);
    setArray(t, TIFFTAG_WHITELEVEL, 1, white);
    if (!withPreview) {
        setCameraTags(t, options.orientation);
        pointToExif();
    }
    if (!writeRows(t, mosaic) || !TIFFWriteDirectory(t)) return "cannot write the raw data of " + path.string();
    return "";
}

std::string writeLossyDng(const std::filesystem::path& path, const cv::Mat& photo)
{
    constexpr int kTile = 64;
    constexpr std::uint16_t kLossyJpeg = 34892, kLinearRaw = 34892;
    const std::unique_ptr<TIFF, TiffCloser> tiff(TIFFOpen(path.c_str(), "w"));
    if (!tiff) return "cannot create " + path.string();
    TIFF* const t = tiff.get();
    static const float black[1] = {0.0f};
    static const std::uint32_t white[1] = {255};
    TIFFSetField(t, TIFFTAG_SUBFILETYPE, 0);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, std::uint32_t(photo.cols));
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, std::uint32_t(photo.rows));
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, std::uint16_t(8));
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, std::uint16_t(3));
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, kLinearRaw);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, kLossyJpeg);
    TIFFSetField(t, TIFFTAG_TILEWIDTH, std::uint32_t(kTile));
    TIFFSetField(t, TIFFTAG_TILELENGTH, std::uint32_t(kTile));
    setArray(t, TIFFTAG_BLACKLEVEL, 1, black);
    setArray(t, TIFFTAG_WHITELEVEL, 1, white);
    setCameraTags(t, 1);
    // Tiles past the right and bottom edges repeat the edge pixels, as encoders pad them.
    cv::Mat padded;
    cv::copyMakeBorder(photo, padded, 0, (kTile - photo.rows % kTile) % kTile, 0, (kTile - photo.cols % kTile) % kTile,
                       cv::BORDER_REPLICATE);
    int index = 0;
    for (int y = 0; y < padded.rows; y += kTile)
        for (int x = 0; x < padded.cols; x += kTile, ++index) {
            // OpenCV encodes BGR: the channels swapped first decode as RGB, the order of the samples.
            cv::Mat rgb;
            cv::cvtColor(padded(cv::Rect(x, y, kTile, kTile)), rgb, cv::COLOR_BGR2RGB);
            std::vector<uchar> jpeg;
            if (!cv::imencode(".jpg", rgb, jpeg, {cv::IMWRITE_JPEG_QUALITY, 95}))
                return "cannot encode a tile of " + path.string();
            if (TIFFWriteRawTile(t, std::uint32_t(index), jpeg.data(), tmsize_t(jpeg.size())) < 0)
                return "cannot write a tile of " + path.string();
        }
    if (!TIFFWriteDirectory(t)) return "cannot write the directory of " + path.string();
    return "";
}

std::string writeOrientedHeic(const std::filesystem::path& path, const cv::Mat& photo, int orientation)
{
    const std::unique_ptr<heif_context, void (*)(heif_context*)> context(heif_context_alloc(), heif_context_free);
    heif_encoder* rawEncoder = nullptr;
    heif_error error = heif_context_get_encoder_for_format(context.get(), heif_compression_HEVC, &rawEncoder);
    const std::unique_ptr<heif_encoder, void (*)(heif_encoder*)> encoder(rawEncoder, heif_encoder_release);
    if (error.code != heif_error_Ok) return std::string("no HEVC encoder: ") + error.message;
    heif_encoder_set_lossy_quality(encoder.get(), 90);

    heif_image* rawImage = nullptr;
    error = heif_image_create(photo.cols, photo.rows, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &rawImage);
    const std::unique_ptr<heif_image, void (*)(const heif_image*)> image(rawImage, heif_image_release);
    if (error.code != heif_error_Ok) return error.message;
    error = heif_image_add_plane(image.get(), heif_channel_interleaved, photo.cols, photo.rows, 8);
    if (error.code != heif_error_Ok) return error.message;
    int stride = 0;
    std::uint8_t* plane = heif_image_get_plane(image.get(), heif_channel_interleaved, &stride);
    cv::Mat rgb(photo.rows, photo.cols, CV_8UC3, plane, std::size_t(stride));
    cv::cvtColor(photo, rgb, cv::COLOR_BGR2RGB);

    const std::unique_ptr<heif_encoding_options, void (*)(heif_encoding_options*)> options(
        heif_encoding_options_alloc(), heif_encoding_options_free);
    options->image_orientation = heif_orientation(orientation);
    error = heif_context_encode_image(context.get(), image.get(), encoder.get(), options.get(), nullptr);
    if (error.code != heif_error_Ok) return error.message;
    error = heif_context_write_to_file(context.get(), path.c_str());
    return error.code == heif_error_Ok ? "" : error.message;
}

cv::Mat oriented(const cv::Mat& photo, int orientation)
{
    cv::Mat turned = photo.clone();
    if (orientation == 2 || orientation == 7) cv::flip(turned, turned, 1);
    if (orientation == 3) cv::rotate(turned, turned, cv::ROTATE_180);
    if (orientation == 4 || orientation == 5) cv::flip(turned, turned, 0);
    if (orientation == 5 || orientation == 6 || orientation == 7) cv::rotate(turned, turned, cv::ROTATE_90_CLOCKWISE);
    if (orientation == 8) cv::rotate(turned, turned, cv::ROTATE_90_COUNTERCLOCKWISE);
    return turned;
}

std::string runTool(const std::vector<std::string>& argv, const std::filesystem::path& directory)
{
    const RunResult result = runCommand(argv, directory);
    if (result.status == 0) return "";
    return argv[0] + (result.status ? " failed (" + std::to_string(*result.status) + "): " : " timed out: ") +
        result.err;
}

cv::Mat dcrawEmuImage(const std::filesystem::path& raw, std::string& error)
{
    error = runTool({"dcraw_emu", "-w", raw.string()}, raw.parent_path());
    if (!error.empty()) return {};
    return cv::imread(raw.string() + ".ppm", cv::IMREAD_COLOR);
}

cv::Mat heifConvertImage(const std::filesystem::path& heif, std::string& error)
{
    const std::string png = heif.string() + ".png";
    error = runTool({"heif-convert", "--quiet", heif.string(), png}, heif.parent_path());
    if (!error.empty()) return {};
    return cv::imread(png, cv::IMREAD_COLOR);
}

void writeTruncated(const std::filesystem::path& path, const std::filesystem::path& to, double keepShare)
{
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::ofstream(to, std::ios::binary).write(bytes.data(), std::streamsize(double(bytes.size()) * keepShare));
}

}  // namespace dofmap::testing
