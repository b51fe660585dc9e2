// The memory of the batch: the estimate of each photo, the default budget, the budget the jobs
// share, and the buffers a job keeps between photos held in it.
#include "memory_budget.hpp"

#include "batch.hpp"
#include "image_io.hpp"
#include "memory.hpp"

#include <algorithm>
#include <limits>

namespace dofmap::batch {
namespace {

// A photo whose header gives no size (a format the header reader does not know) is assumed to
// take this many times its file's size, and at least kUnknownPhotoBytes.
constexpr std::int64_t kUnknownExpansion = 32;
constexpr std::int64_t kUnknownPhotoBytes = std::int64_t(64) << 20;
// The analysis's own buffers beside the images (block totals, the statistics' kept means), in
// bytes a pixel.
constexpr double kAnalysisBytesPerPixel = 1.0;
// The culling figures' own buffers: the gray photo binned 2 x 2 in floats and its pyramid, in bytes
// a pixel.
constexpr double kCullFigureBytesPerPixel = 1.4;
// Jobs render their maps from one scan of each photo when each has at least this many photos: a
// map from one scan saves about 8 ms of CPU on a 24-megapixel photo, but the table it keeps is
// fresh memory, whose first touch took 20 to 300 ms per 96 MB.
constexpr std::size_t kOneScanPhotosPerJob = 48;
// What every photo takes whatever its size: row buffers, encoders' state.
constexpr std::int64_t kPhotoOverheadBytes = std::int64_t(16) << 20;
// The default budget: this share of the memory available at start less this reserve, for the
// program itself and whatever else runs beside it, but never less than the least budget.
constexpr double kBudgetShare = 0.85;
constexpr std::int64_t kBudgetReserve = std::int64_t(64) << 20;
constexpr std::int64_t kLeastBudget = std::int64_t(64) << 20;

}  // namespace

std::int64_t defaultMemoryBudget()
{
    const std::optional<std::int64_t> available = availableMemory();
    if (!available) return std::numeric_limits<std::int64_t>::max();
    return std::max<std::int64_t>(std::int64_t(double(*available) * kBudgetShare) - kBudgetReserve, kLeastBudget);
}

std::int64_t photoMemory(const PhotoFile& file, const Options& options, bool oneScanMaps)
{
    const std::int64_t fileBytes = std::int64_t(file.content.size());
    if (!file.declaredSize) return std::max(fileBytes * kUnknownExpansion, kUnknownPhotoBytes);
    // Bytes a pixel takes at the peak: the photo as decoded, its blurred copy, the map and its
    // encoding, the table of float means of a map from one scan (unless the means written serve
    // as the table, or the figures take two scans), and what the extra outputs hold beside them;
    // and what the decoder holds beside the photo while it decodes (the file's bytes are still
    // held then).
    double perPixel = 3 + 3 + 1 + 1 + kAnalysisBytesPerPixel;
    if (oneScanMaps && !figuresWanted(options) && !options.means) perPixel += 4;
    if (options.blurred) perPixel += 3;
    if (options.colormap) perPixel += 3 + 1;
    if (options.overlay) perPixel += 3 + 3 + 1;
    if (options.means) perPixel += 4 + 4;
    if (options.report) perPixel += kThumbnailBytesPerPixel;
    if (options.cullFigures || options.cull) perPixel += kCullFigureBytesPerPixel;
    const double pixels = double(file.declaredSize->width) * double(file.declaredSize->height);
    return fileBytes + kPhotoOverheadBytes +
        std::int64_t(std::min(pixels * perPixel + double(file.decoderBytes), 9.0e18));
}

namespace {

// The bytes of an image's own memory, or of a buffer's.
std::int64_t bytesOf(const cv::Mat& image)
{
    return image.u != nullptr ? std::int64_t(image.u->size) : 0;
}

}  // namespace

Job::~Job()
{
    awaitWriting();
}

std::int64_t Job::keptBytes() const
{
    std::int64_t spare = 0;
    for (const PendingOutput& output : spare_) spare += std::int64_t(output.bytes.capacity());
    return std::int64_t(file_.content.capacity()) + bytesOf(source_) + bytesOf(blurred_) + bytesOf(analysis_.map) +
        bytesOf(analysis_.means) + bytesOf(analysis_.scratch) + std::int64_t(png_.keptBytes()) + spare + writingBytes_ +
        encodedBytes_;
}

void Job::releaseBuffers()
{
    source_.release();
    blurred_.release();
    analysis_ = FocusAnalysis();
    png_.release();
    spare_ = PendingOutputs();
}

void Job::admit(std::int64_t photoBytes)
{
    if (holding_.change(std::max(photoBytes + writingBytes_, keptBytes()))) return;
    // Nothing is held while waiting for others to finish: the outputs being written are first.
    awaitWriting();
    releaseBuffers();
    holding_.wait(photoBytes);
}

void Job::awaitWriting()
{
    if (!writing_.valid()) return;
    spare_ = writing_.get();
    writingBytes_ = 0;
    holding_.change(keptBytes());  // less than before: always fits
}

void Job::settle()
{
    if (holding_.change(keptBytes())) return;
    releaseBuffers();
    file_ = PhotoFile();
    holding_.change(writingBytes_ + encodedBytes_);  // within the photo's estimate held before
}

bool mapsFromOneScan(std::size_t photos, int jobs)
{
    return photos >= std::size_t(jobs) * kOneScanPhotosPerJob;
}

MemoryBudget::Reservation::Reservation(MemoryBudget& budget, std::int64_t bytes)
    : budget_(budget),
      bytes_(std::min(bytes, budget.total()))
{
    budget_.take(bytes_);
}

MemoryBudget::Reservation::~Reservation()
{
    budget_.give(bytes_);
}

MemoryBudget::Holding::~Holding()
{
    budget_.give(bytes_);
}

bool MemoryBudget::Holding::change(std::int64_t bytes)
{
    bytes = std::min(bytes, budget_.total());
    if (bytes > bytes_ && !budget_.tryTake(bytes - bytes_)) return false;
    if (bytes < bytes_) budget_.give(bytes_ - bytes);
    bytes_ = bytes;
    return true;
}

void MemoryBudget::Holding::wait(std::int64_t bytes)
{
    change(0);
    bytes_ = std::min(bytes, budget_.total());
    budget_.take(bytes_);
}

bool MemoryBudget::tryTake(std::int64_t bytes)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (reserved_ + bytes > total_) return false;
    reserved_ += bytes;
    return true;
}

void MemoryBudget::take(std::int64_t bytes)
{
    std::unique_lock<std::mutex> lock(mutex_);
    // Every reservation fits the budget alone, and none waits while holding another: whoever waits
    // is admitted once enough others have finished.
    released_.wait(lock, [&] { return reserved_ + bytes <= total_; });
    reserved_ += bytes;
}

void MemoryBudget::give(std::int64_t bytes)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        reserved_ -= bytes;
    }
    released_.notify_all();
}

}  // namespace dofmap::batch
