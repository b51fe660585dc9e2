// Focus maps for many photographs without a display: planning the outputs and running the work.
#pragma once

#include "focus_map.hpp"
#include "image_io.hpp"
#include "memory_budget.hpp"
#include "png_writer.hpp"
#include "records.hpp"
#include "report.hpp"
#include "verdicts.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace dofmap::batch {

// How a photo's sidecar is named: IMG_0001.xmp (Lightroom, Capture One, Bridge) or IMG_0001.CR2.xmp
// (darktable, digiKam).
enum class SidecarName { adobe, full };

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
    bool json = false;  // print a JSON object per photo on stdout instead
    bool noMap = false;  // write no map: the figures, and the other outputs asked for
    bool xmp = false;  // merge the figures (and verdicts) into each photo's XMP sidecar
    SidecarName xmpName = SidecarName::adobe;  // the sidecar's name when the photo has none yet
    std::optional<Threshold> rejectBelow;  // judge every photo: blurry below this largest mean
    bool overwriteRatings = false;  // a blurry photo's rating is replaced even when it has one
    bool dryRun = false;  // write nothing: print the verdicts only
    double sigma = kBlurSigma;
    int window = kWindow;
    int jobs = 1;  // photos in flight at once
    std::optional<std::int64_t> memory;  // bytes the photos in flight may take; defaultMemoryBudget() if unset
    bool quiet = false;  // no progress line
    std::optional<std::filesystem::path> report;  // write the contact sheet there (see ContactSheet)
};

// Whether the options ask for each photo's figures (statistics, JSON, sidecars, verdicts or the report).
bool figuresWanted(const Options& options);

// One photo and the files it will be written to.
struct Photo {
    std::string input;  // the path as given or found in a folder
    // In the order they are written: the map (unless noMap), the blurred reference, the false-color
    // map, the overlay, the means, as asked; none in a dry run.
    std::vector<std::filesystem::path> outputs;
    std::optional<std::filesystem::path> sidecar;  // beside the photo, with xmp outside a dry run
};

// A folder that could not be opened or read while its photos were looked for, and the system's
// reason (reasonOf's text: "permission denied", "no such file or directory" for one that vanished).
struct UnreadableFolder {
    std::string path;
    std::string reason;
};

// Expands folders (their photos directly inside, or with `recursive` those of every folder below too
// except hidden ones and those reached through links, sorted by path) and names every output: beside
// each photo, or under `output` in the folder the photo lies in relative to the folder given. The
// sidecar always lies beside its photo: the one that exists (of IMG_0001.xmp and IMG_0001.CR2.xmp;
// `xmpName` when both or neither do). A folder that cannot be opened or read (given or below one
// given) goes to `unreadable` when given, in the order of the walk, and the walk goes on with the
// others: the photos found are planned. Fails, returning the reason in `error`, when an input is
// given twice (the same name in the same folder, however the folders are spelled: a link to a photo
// under another name is a photo of its own), an output would overwrite an input (its name, or the
// file an input that is a link leads to) or two inputs would write the same output or sidecar.
// Paths that do not exist stay in the list: reading them fails later.
std::vector<Photo> plan(const Options& options, std::string& error,
                        std::vector<UnreadableFolder>* unreadable = nullptr);

// Where the processing of one photo reports: failures by file, and progress.
class Reporter {
public:
    virtual ~Reporter() = default;
    virtual void cannotRead(const std::string& path, const std::string& reason) = 0;
    virtual void cannotWrite(const std::filesystem::path& path, const std::string& reason) = 0;
};

// The memory the photos in flight may take by default: what the system and the control group have
// available at start, less a margin for the program and the rest of the system.
std::int64_t defaultMemoryBudget();

// The bytes a photo will take at its peak, from its file and the size its header declares, in a
// job whose maps come from one scan of the photo or from two.
std::int64_t photoMemory(const PhotoFile& file, const Options& options, bool oneScanMaps = false);

// What became of one photo: its figures when it was read (the means' figures only when
// figuresWanted), or why it could not be read.
struct PhotoOutcome {
    std::optional<PhotoStatistics> statistics;
    std::string unreadable;
    Thumbnails thumbnails;  // with --report, when it was read
};

// What one job keeps from photo to photo: the file's bytes, the decoded photo, its blurred copy,
// the map and means, and the PNG encoder's buffers. Photos of one size then touch no fresh memory
// (a fresh 24-megapixel image costs more in page faults than blurring it), and the bytes kept are
// held in the budget between photos.
class Job {
public:
    // A job whose maps come from one scan of each photo keeps a table of float means besides.
    explicit Job(MemoryBudget& budget, bool oneScanMaps = false) : holding_(budget), oneScanMaps_(oneScanMaps) { }

    // The bytes the buffers take now.
    std::int64_t keptBytes() const;

private:
    friend PhotoOutcome processPhoto(const Photo&, const Options&, Job&, Reporter&, bool&);
    void releaseBuffers();  // all but the file's bytes

    MemoryBudget::Holding holding_;
    const bool oneScanMaps_;
    PhotoFile file_;
    cv::Mat source_;
    cv::Mat blurred_;
    FocusAnalysis analysis_;
    PngEncoder png_;
};

// Reads the photo and writes its outputs (not its sidecar), within the job's budget: a photo whose
// estimate does not fit the whole budget is refused as too large, others wait until theirs fits
// beside the photos in flight (and the other jobs' kept buffers). Failures go to `reporter`;
// `complete` tells whether every output was written.
PhotoOutcome processPhoto(const Photo& photo, const Options& options, Job& job, Reporter& reporter, bool& complete);

// The same by a job of its own, which keeps nothing.
PhotoOutcome processPhoto(const Photo& photo, const Options& options, MemoryBudget& budget, Reporter& reporter,
                          bool& complete);

// Runs the whole batch: every photo, `options.jobs` at a time; CSV rows, JSON objects or the verdict
// table on standard output in input order, and sidecars written in that order too; failures and
// progress on standard error (progress only when `errIsTerminal` and more than one photo). With a
// threshold that is a share of the median, every photo is figured before any is judged, so the
// records come at the end. Returns 0 when every photo was read, every output and sidecar written and
// every record of standard output written, 1 otherwise (also when records are due and standard output
// was closed when the program started).
int run(const std::vector<Photo>& photos, const Options& options, bool errIsTerminal, bool outputClosed = false);

}  // namespace dofmap::batch
