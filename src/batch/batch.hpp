// Focus maps for many photographs without a display: planning the outputs and running the work.
#pragma once

#include "focus_map.hpp"
#include "image_io.hpp"
#include "memory_budget.hpp"
#include "png_writer.hpp"
#include "records.hpp"
#include "report.hpp"
#include "scenes.hpp"
#include "verdicts.hpp"

#include <cstdint>
#include <filesystem>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace dofmap::batch {

// How a photo's sidecar is named: IMG_0001.xmp (Lightroom, Capture One, Bridge) or IMG_0001.CR2.xmp
// (darktable, digiKam).
enum class SidecarName { adobe, full };

// Which file of a shot is figured and mapped: a RAW file and a JPEG or HEIF file of the same stem in
// one folder, and no other photo of that stem (IMG_0001.CR2 and IMG_0001.JPG, as cameras write them
// in RAW+JPEG mode). jpeg: the camera's own picture; raw: the RAW file (developed, or its preview with
// rawPreview); both: the two files are two photos of their own.
enum class Pairing { jpeg, raw, both };

// What the records (CSV rows, JSON objects, the verdict table) are ordered by, instead of input order.
enum class SortKey { maxMean, meanMean, p90Mean, path };
struct SortOrder {
    SortKey key = SortKey::maxMean;
    bool descending = false;
};

// The name that stands for standard input among the photos, and for standard output as the output
// folder: the photo read from standard input, and the map written there.
inline constexpr const char* kStandardStream = "-";
inline bool isStandardStream(const std::string& name)
{
    return name == kStandardStream;
}
// The name the outputs of the photo from standard input take in the output folder: stdin.dof.png.
inline constexpr const char* kStandardInputStem = "stdin";

struct Options {
    std::vector<std::string> inputs;  // photos and folders, as given
    bool recursive = false;  // take the photos of the folders below the folders given too
    bool rawPreview = false;  // RAW files: their embedded preview when large enough, see RawDevelopment
    // Folder for all outputs, beside each photo if unset; "-" writes the one map to standard output.
    std::optional<std::filesystem::path> output;
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
    Pairing pair = Pairing::jpeg;  // the file of a RAW+JPEG shot that is figured
    std::optional<Threshold> rejectBelow;  // judge every photo: blurry below this largest mean
    bool cull = false;  // judge every photo against its scene, or alone (see culling.hpp)
    // Also compute each photo's culling figures (cullFigures: noise, corrected largest mean, detail
    // ratio, motion) into PhotoStatistics::cull; the photo's figures are then computed too.
    bool cullFigures = false;
    bool overwriteRatings = false;  // a blurry photo's rating is replaced even when it has one
    bool dryRun = false;  // write nothing: print the verdicts only
    Parameters parameters;  // the blur of the reference and the window of the means
    int jobs = 1;  // photos in flight at once
    std::optional<std::int64_t> memory;  // bytes the photos in flight may take; defaultMemoryBudget() if unset
    std::optional<SortOrder> sort;  // the records' order; input order if unset
    bool quiet = false;  // no progress line, and no summary unless asked for
    bool summary = false;  // a summary line at the end, whatever stderr is
    std::optional<std::filesystem::path> report;  // write the contact sheet there (see ContactSheet); not "-"
};

// Whether the map goes to standard output (--output -).
bool mapToStandardOutput(const Options& options);

// Whether the options ask for each photo's figures (statistics, JSON, sidecars, verdicts or the report).
bool figuresWanted(const Options& options);

// One photo, or one shot of two files, and the files it will be written to.
struct Photo {
    std::string input;  // the file figured: the path as given or found in a folder, "-" for standard input
    std::string companion;  // the other file of its shot (see Pairing), not read; empty for a photo alone
    // In the order they are written: the map (unless noMap), the blurred reference, the false-color
    // map, the overlay, the means, as asked; none in a dry run. "-" is standard output.
    std::vector<std::filesystem::path> outputs;
    // Beside the photo, with xmp outside a dry run: one, or for a shot named in full both files' own.
    std::vector<std::filesystem::path> sidecars;
};

// A folder that could not be opened or read while its photos were looked for, and the system's
// reason (reasonOf's text: "permission denied", "no such file or directory" for one that vanished).
struct UnreadableFolder {
    std::string path;
    std::string reason;
};

// Expands folders (their photos directly inside, or with `recursive` those of every folder below too
// except hidden ones and those reached through links, sorted by path), joins the two files of each
// RAW+JPEG shot into one photo (see Pairing; the shot takes the place of its first file), and names
// every output: beside each photo, or under `output` in the folder the photo lies in relative to the
// folder given. Outputs are named after the photo's stem (IMG_1.dof.png), or after its whole file
// name (IMG_1.tif.dof.png) when another photo of the batch with that stem writes into the same folder.
// The sidecar always lies beside its photo:
// - a photo whose stem no other photo of its folder shares: the one that exists of IMG_1.xmp and
//   IMG_1.CR2.xmp, or as `xmpName` says when both or neither do;
// - photos sharing a stem (which are not a shot, or with Pairing::both): each its own full name,
//   IMG_1.tif.xmp, since one sidecar cannot hold two verdicts;
// - a shot: IMG_1.xmp, or both files' full names (IMG_1.CR2.xmp and IMG_1.JPG.xmp), whichever kind
//   exists, or as `xmpName` says when both or neither do.
// Standard input ("-") is a photo named "stdin" in the output folder, with no sidecar.
// A folder that cannot be opened or read (given or below one given) goes to `unreadable` when given,
// in the order of the walk, and the walk goes on with the others: the photos found are planned.
// Fails, returning every problem found in `problems` (one line each, in the order found),
// when an input is given twice (the same name in the same folder, however the folders are spelled: a
// link to a photo under another name is a photo of its own), an output would overwrite an input (its
// name, or the file an input that is a link leads to), two inputs would write the same output or
// sidecar (two trees of one relative path under one output folder), or standard input has outputs
// and no output folder, or would need a sidecar. Paths that do not exist stay in the list: reading
// them fails later.
std::vector<Photo> plan(const Options& options, std::vector<std::string>& problems,
                        std::vector<UnreadableFolder>* unreadable = nullptr);

// Where the processing of one photo reports: failures by file, and progress.
class Reporter {
public:
    virtual ~Reporter() = default;
    virtual void cannotRead(const std::string& path, const std::string& reason) = 0;
    // `path` is "-" for standard output.
    virtual void cannotWrite(const std::filesystem::path& path, const std::string& reason) = 0;
};

// What became of one photo: its figures when it was read (the means' figures only when
// figuresWanted) and its verdict when judged, or why it could not be read; and what was written.
struct PhotoOutcome {
    std::optional<PhotoStatistics> statistics;
    std::string unreadable;
    std::optional<Verdict> verdict;  // set by run()
    bool mapWritten = false;  // the map, to its file or to standard output
    int otherOutputsWritten = 0;  // the blurred reference, false-color map, overlay and means written
    int sidecarsWritten = 0;  // set by run()
    Thumbnails thumbnails;  // with --report, when it was read; let go once written
    // With --cull, when it was read: when it was taken (if its file says), and the
    // signature of its content, of which the scenes of the batch are made (see assignScenes).
    std::optional<CaptureTime> captureTime;
    SceneSignature signature;
};

// The scenes of a batch's photos, from the capture times and signatures of their outcomes (in the
// order of the photos planned); see assignScenes of SceneFrame.
SceneAssignment assignScenes(const std::vector<PhotoOutcome>& photos);

// One output of a photo, encoded and not yet written: the run writes a photo's outputs on a thread
// of their own while its job goes on with the next photo.
struct PendingOutput {
    std::filesystem::path path;  // "-" for standard output
    std::vector<unsigned char> bytes;
    IoStatus status;  // a failure met before writing (its folder, its encoding), reported instead
    bool isMap = false;
};
using PendingOutputs = std::vector<PendingOutput>;

// Writes the outputs of `pending` that were encoded, each whole or not at all, counting them in
// `outcome` (mapWritten, otherOutputsWritten) and reporting every failure to `reporter`;
// `complete` turns false on any failure.
void writeOutputs(PendingOutputs& pending, Reporter& reporter, PhotoOutcome& outcome, bool& complete);

// What one job keeps from photo to photo: the file's bytes, the decoded photo, its blurred copy,
// the map and means, the PNG encoder's buffers and the buffers of the outputs written. Photos of
// one size then touch no fresh memory (a fresh 24-megapixel image costs more in page faults than
// blurring it), and the bytes kept are held in the budget between photos, with the outputs of the
// photo before while they are being written.
class Job {
public:
    // A job whose maps come from one scan of each photo keeps a table of float means besides.
    explicit Job(MemoryBudget& budget, bool oneScanMaps = false) : holding_(budget), oneScanMaps_(oneScanMaps) { }
    ~Job();
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

    // The bytes the buffers take now, and the outputs being written.
    std::int64_t keptBytes() const;

    // Writes `pending`, the outputs processPhoto encoded last, by `write` on a thread of its own
    // once the outputs before are written (at once on this thread when no thread can be had);
    // `write` gives back the outputs, whose buffers serve the next photo.
    template <typename Write>
    void writeBehind(PendingOutputs pending, Write write);
    // Waits until the outputs being written are, and keeps their buffers.
    void awaitWriting();

private:
    friend PhotoOutcome processPhoto(const Photo&, const Options&, Job&, Reporter&, bool&, PendingOutputs*);
    void releaseBuffers();  // all but the file's bytes
    // Holds a photo's estimate of `photoBytes` in the budget, or what the job keeps when that is
    // more; when that does not fit beside the other jobs, the kept buffers go and the job waits for
    // the photo's estimate alone.
    void admit(std::int64_t photoBytes);
    // After a photo: holds what the job keeps, or lets all its buffers go when they do not fit.
    void settle();

    MemoryBudget::Holding holding_;
    const bool oneScanMaps_;
    PhotoFile file_;
    cv::Mat source_;
    cv::Mat blurred_;
    FocusAnalysis analysis_;
    PngEncoder png_;
    PendingOutputs spare_;  // the buffers of the outputs written last
    std::future<PendingOutputs> writing_;
    std::int64_t writingBytes_ = 0;
    std::int64_t encodedBytes_ = 0;  // of the outputs encoded and not yet handed to writeBehind
};

template <typename Write>
void Job::writeBehind(PendingOutputs pending, Write write)
{
    awaitWriting();
    // Shared with the thread rather than moved into it: std::async consumes its arguments even
    // when it then fails to start the thread, and the outputs must still be written here.
    const auto work = std::make_shared<std::pair<Write, PendingOutputs>>(std::move(write), std::move(pending));
    // The outputs' bytes, held since they were encoded, are now those being written.
    writingBytes_ = encodedBytes_;
    encodedBytes_ = 0;
    try {
        writing_ = std::async(std::launch::async, [work] { return work->first(std::move(work->second)); });
        return;
    } catch (const std::system_error&) {
        // No thread to be had: written here.
    }
    spare_ = work->first(std::move(work->second));
    writingBytes_ = 0;
    settle();
}

// Reads the photo (standard input, read whole within the budget, for "-") and writes its outputs
// (standard output for "-"), not its sidecars, within the job's budget: a photo whose estimate does
// not fit the whole budget is refused as too large, others wait until theirs fits beside the photos
// in flight (and the other jobs' kept buffers). Failures go to `reporter`; `complete` tells whether
// every output was written.
// With `deferred`, the outputs are encoded into it instead, for writeOutputs, which reports their
// failures (those of their folders and encodings too) and clears `complete` for them.
PhotoOutcome processPhoto(const Photo& photo, const Options& options, Job& job, Reporter& reporter, bool& complete,
                          PendingOutputs* deferred = nullptr);

// The same by a job of its own, which keeps nothing.
PhotoOutcome processPhoto(const Photo& photo, const Options& options, MemoryBudget& budget, Reporter& reporter,
                          bool& complete);

// What became of a whole batch: each photo's outcome, in the order of the photos planned, and the
// threshold of the verdicts when judged (known only at the end for a share of the median).
struct BatchOutcome {
    std::vector<PhotoOutcome> photos;
    std::optional<double> threshold;
    std::optional<int> scenes;  // with --cull: how many scenes the photos read were grouped in
};

// Whether the options ask for verdicts: --reject-below or --cull.
inline bool judged(const Options& options)
{
    return options.rejectBelow.has_value() || options.cull;
}

// What a batch came to, as the summary line and the report's page count it: photos read and not
// read (a shot counts once), the maps, other outputs and sidecars written, and the verdicts.
struct BatchCounts {
    std::size_t read = 0;
    std::size_t unreadable = 0;
    std::size_t maps = 0;
    std::size_t otherOutputs = 0;
    std::size_t sidecars = 0;
    std::size_t sharp = 0;
    std::size_t blurry = 0;
};
BatchCounts countsOf(const BatchOutcome& outcome);

// The line that sums a batch up: photos read and unreadable, what was written, and the verdicts with
// their threshold (the counts of countsOf).
std::string summaryLine(const BatchOutcome& outcome, const Options& options);

// The photos' indices in the order of `order`, the one comparison of --sort for the records and the
// report's page: by the figure (or the path's bytes), ascending or descending; ties, and the photos
// not read (last), in input order. `outcomes` are the photos', in their order.
std::vector<std::size_t> recordOrder(const std::vector<Photo>& photos, const std::vector<PhotoOutcome>& outcomes,
                                     const SortOrder& order);

// Runs the whole batch: every photo, `options.jobs` at a time; CSV rows, JSON objects or the verdict
// table on standard output in input order (or as options.sort says, at the end), and sidecars written
// in input order; failures and progress on standard error (progress only when `errIsTerminal` and
// more than one photo), and the summary line at the end when `errIsTerminal` unless quiet, or when
// asked for. With a threshold that is a share of the median, every photo is figured before any is
// judged, so the records come at the end. Returns 0 when every photo was read, every output and
// sidecar written and every record of standard output written, 1 otherwise (also when records are
// due and standard output was closed when the program started). What became of each photo goes to
// `outcome` when given.
int run(const std::vector<Photo>& photos, const Options& options, bool errIsTerminal, bool outputClosed = false,
        BatchOutcome* outcome = nullptr);

}  // namespace dofmap::batch
