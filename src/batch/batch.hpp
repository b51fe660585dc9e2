// Focus maps for many photographs without a display: planning the outputs and running the work.
#pragma once

#include "focus_map.hpp"
#include "image_io.hpp"
#include "memory_budget.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace dofmap::batch {

struct Options {
    std::vector<std::string> inputs;  // photos and folders, as given
    bool recursive = false;  // take the photos of the folders below the folders given too
    bool rawPreview = false;  // RAW files: their embedded preview when large enough, see RawDevelopment
    std::optional<std::filesystem::path> output;  // folder for all outputs; beside each photo if unset
    std::string format = "png";  // of the map and the blurred reference: png, jpg or tif
    bool blurred = false;  // also write <stem>.blur.<format>
    std::optional<std::string> colormap;  // also write <stem>.dof-<name>.png
    bool overlay = false;  // also write <stem>.dof-overlay.jpg
    bool means = false;  // also write <stem>.means.tif (32-bit float)
    bool stats = false;  // print a CSV row per photo on stdout
    double sigma = kBlurSigma;
    int window = kWindow;
    int jobs = 1;  // photos in flight at once
    std::optional<std::int64_t> memory;  // bytes the photos in flight may take; defaultMemoryBudget() if unset
    bool quiet = false;  // no progress line
};

// One photo and the files it will be written to.
struct Photo {
    std::string input;  // the path as given or found in a folder
    std::vector<std::filesystem::path> outputs;  // in the order they are written: map first
};

// Expands folders (their photos directly inside, or with `recursive` those of every folder below too
// except hidden ones and those reached through links, sorted by path) and names every output: beside
// each photo, or under `output` in the folder the photo lies in relative to the folder given. Fails,
// returning the reason in `error`, when an output would overwrite an input or two inputs would write
// the same output. Paths that do not exist stay in the list: reading them fails later.
std::vector<Photo> plan(const Options& options, std::string& error);

// Where the processing of one photo reports: failures by file, and progress.
class Reporter {
public:
    virtual ~Reporter() = default;
    virtual void cannotRead(const std::string& path, const std::string& reason) = 0;
    virtual void cannotWrite(const std::filesystem::path& path, const std::string& reason) = 0;
};

// The figures of one photo for --stats.
struct PhotoStatistics {
    int width = 0;
    int height = 0;
    MeanStatistics means{};
};

// The memory the photos in flight may take by default: what the system and the control group have
// available at start, less a margin for the program and the rest of the system.
std::int64_t defaultMemoryBudget();

// The bytes a photo will take at its peak, from its file and the size its header declares.
std::int64_t photoMemory(const PhotoFile& file, const Options& options);

// Reads the photo and writes its outputs, within `budget`: a photo whose estimate does not fit the
// whole budget is refused as too large, others wait until theirs fits beside the photos in flight.
// Returns the statistics when the photo was read (and the options ask for them), nullopt otherwise;
// `complete` tells whether every output was written.
std::optional<PhotoStatistics> processPhoto(const Photo& photo, const Options& options, MemoryBudget& budget,
                                            Reporter& reporter, bool& complete);

// The CSV header and one row of --stats; the path is quoted when it holds a comma, quote or newline.
std::string statisticsHeader();
std::string statisticsRow(const std::string& path, const PhotoStatistics& statistics);

// Runs the whole batch: every photo, `options.jobs` at a time, statistics rows on standard output in
// input order, failures and progress on standard error (progress only when `errIsTerminal` and more
// than one photo). Returns 0 when every photo was read, every output written and every row of
// standard output written, 1 otherwise (also when the rows are asked for and standard output was
// closed when the program started).
int run(const std::vector<Photo>& photos, const Options& options, bool errIsTerminal, bool outputClosed = false);

}  // namespace dofmap::batch
