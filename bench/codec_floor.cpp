// The codec floor of a batch of JPEGs: the work no map tool can skip, timed alone. Each photo is
// decoded by libjpeg straight to BGR and blurred by OpenCV, each into images kept from photo to
// photo, and the map given for it is encoded as the batch encodes its maps (PNG, the Up filter,
// libdeflate at level 1); the photos are split over the threads. Nothing is mapped and nothing is
// written: files are read and maps decoded before the clock starts.
//
// Usage: codec_floor THREADS PHOTO.jpg MAP.png [PHOTO.jpg MAP.png ...]
// Prints the milliseconds of the codec work on standard output.
#include "focus_map.hpp"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <jpeglib.h>
#include <libdeflate.h>

#include <atomic>
#include <chrono>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// The batch's PNG settings: libdeflate's fastest level, every row filtered by the row above.
constexpr int kCompressionLevel = 1;
constexpr unsigned char kUpFilter = 2;

struct Photo {
    std::vector<unsigned char> jpeg;
    cv::Mat map;
};

struct JpegErrors {
    jpeg_error_mgr library;
    std::jmp_buf jump;
};

[[noreturn]] void stop(const std::string& message)
{
    std::fprintf(stderr, "codec_floor: %s\n", message.c_str());
    std::exit(1);
}

// Decodes `jpeg` into `out`, reallocated only when its size changes. False when libjpeg fails.
bool decode(const std::vector<unsigned char>& jpeg, cv::Mat& out)
{
    jpeg_decompress_struct info;
    JpegErrors errors;
    info.err = jpeg_std_error(&errors.library);
    errors.library.error_exit = [](j_common_ptr common) {
        std::longjmp(reinterpret_cast<JpegErrors*>(common->err)->jump, 1);
    };
    if (setjmp(errors.jump) != 0) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&info);
    out.create(int(info.output_height), int(info.output_width), CV_8UC3);
    for (int y = 0; y < out.rows; ++y) {
        JSAMPROW row = out.ptr(y);
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

void putBigEndian(std::vector<unsigned char>& out, std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(value >> shift));
}

void chunk(std::vector<unsigned char>& out, const char* type, const unsigned char* data, std::size_t size)
{
    putBigEndian(out, std::uint32_t(size));
    const std::size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data, data + size);
    putBigEndian(out, libdeflate_crc32(0, out.data() + start, out.size() - start));
}

// The PNG of the gray `map` into `png`, through the kept `filtered` and `compressed` buffers.
void encode(const cv::Mat& map, libdeflate_compressor* compressor, std::vector<unsigned char>& filtered,
            std::vector<unsigned char>& compressed, std::vector<unsigned char>& png)
{
    const std::size_t rowBytes = std::size_t(map.cols) + 1;
    filtered.resize(rowBytes * std::size_t(map.rows));
    for (int y = 0; y < map.rows; ++y) {
        unsigned char* out = filtered.data() + rowBytes * std::size_t(y);
        const unsigned char* row = map.ptr(y);
        const unsigned char* above = y > 0 ? map.ptr(y - 1) : nullptr;
        out[0] = kUpFilter;
        for (int x = 0; x < map.cols; ++x) out[x + 1] = static_cast<unsigned char>(row[x] - (above ? above[x] : 0));
    }
    compressed.resize(libdeflate_zlib_compress_bound(compressor, filtered.size()));
    const std::size_t size =
        libdeflate_zlib_compress(compressor, filtered.data(), filtered.size(), compressed.data(), compressed.size());
    png.assign({0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'});
    std::vector<unsigned char> header;
    putBigEndian(header, std::uint32_t(map.cols));
    putBigEndian(header, std::uint32_t(map.rows));
    header.insert(header.end(), {8, 0, 0, 0, 0});
    chunk(png, "IHDR", header.data(), header.size());
    chunk(png, "IDAT", compressed.data(), size);
    chunk(png, "IEND", nullptr, 0);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4 || argc % 2 != 0) stop("usage: codec_floor THREADS PHOTO.jpg MAP.png [PHOTO.jpg MAP.png ...]");
    const int threads = std::atoi(argv[1]);
    if (threads < 1) stop("THREADS must be a positive number");
    std::vector<Photo> photos;
    for (int i = 2; i < argc; i += 2) {
        std::ifstream in(argv[i], std::ios::binary);
        Photo photo;
        photo.jpeg.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        photo.map = cv::imread(argv[i + 1], cv::IMREAD_GRAYSCALE);
        if (photo.jpeg.empty() || photo.map.empty()) stop(std::string("cannot read ") + argv[i] + " or " + argv[i + 1]);
        photos.push_back(std::move(photo));
    }

    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    const auto worker = [&] {
        cv::Mat decoded, blurred;
        std::vector<unsigned char> filtered, compressed, png;
        const std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor*)> compressor(
            libdeflate_alloc_compressor(kCompressionLevel), libdeflate_free_compressor);
        for (std::size_t i = next++; i < photos.size(); i = next++) {
            if (!decode(photos[i].jpeg, decoded)) {
                failed = true;
                continue;
            }
            cv::GaussianBlur(decoded, blurred, cv::Size(0, 0), dofmap::kBlurSigma, 0, cv::BORDER_REFLECT_101);
            encode(photos[i].map, compressor.get(), filtered, compressed, png);
        }
    };
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t) pool.emplace_back(worker);
    worker();
    for (std::thread& thread : pool) thread.join();
    const double elapsed = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (failed) stop("a photo could not be decoded");
    if (std::printf("%.1f\n", elapsed) < 0 || std::fflush(stdout) != 0) stop("cannot write standard output");
    return 0;
}
