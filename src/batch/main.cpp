// dofmap-batch: depth-of-field maps for photographs and folders of photographs, without a display.
//
// Exit status: 0 when every folder and photo was read and every output written; 1 when a folder or
// a photo could not be read or an output not written (the other photos are still done); 2 for a
// usage error, before any work.
#include "atomic_file.hpp"
#include "batch.hpp"
#include "false_color.hpp"
#include "memory.hpp"
#include "messages.hpp"
#include "xmp_sidecar.hpp"

#include <CLI/CLI.hpp>
#include <opencv2/core/utils/logger.hpp>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <thread>
#include <utility>

namespace {

constexpr const char* kProgram = "dofmap-batch";
// The jobs accepted.
constexpr long kGreatestJobs = 1024;

int usageError(const std::string& message)
{
    dofmap::reportLine(std::string(kProgram) + ": " + message + "\nRun with --help for more information.");
    return 2;
}

// Every problem on a line of its own, then the hint once.
int usageErrors(const std::vector<std::string>& problems)
{
    std::string text;
    for (const std::string& problem : problems)
        text += std::string(kProgram) + ": " + dofmap::printable(problem) + "\n";
    dofmap::reportLine(text + "Run with --help for more information.");
    return 2;
}

// "max_mean", "-p90_mean", "path": the records' order, descending with the minus sign.
std::optional<dofmap::batch::SortOrder> parseSortOrder(const std::string& text)
{
    using dofmap::batch::SortKey;
    const bool descending = !text.empty() && text[0] == '-';
    const std::string key = text.substr(descending ? 1 : 0);
    const std::pair<const char*, SortKey> keys[] = {{"max_mean", SortKey::maxMean},
                                                    {"mean_mean", SortKey::meanMean},
                                                    {"p90_mean", SortKey::p90Mean},
                                                    {"path", SortKey::path}};
    for (const auto& [name, value] : keys)
        if (key == name) return dofmap::batch::SortOrder{value, descending};
    return std::nullopt;
}

// A decimal whole number (digits, a sign at most: no exponent, fraction or base prefix) that fits a
// long, or none.
std::optional<long> wholeNumberOf(const std::string& text)
{
    const bool digits = !text.empty() &&
        std::all_of(text.begin() + (text[0] == '+' || text[0] == '-' ? 1 : 0), text.end(),
                    [](unsigned char c) { return std::isdigit(c) != 0; });
    if (!digits) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || errno != 0) return std::nullopt;
    return value;
}

// Accepts the text that `parses` reads (as a value that converts to true), and otherwise says
// "must be EXPECTED, not TEXT"; `name` is the value's name in --help.
template <class Parse>
CLI::Validator readableAs(Parse parses, const std::string& expected, const std::string& name)
{
    return CLI::Validator(
        [parses, expected](std::string& text) {
            return parses(text) ? std::string() : "must be " + expected + ", not " + text;
        },
        name);
}

// Accepts the decimal whole numbers from `least` to `greatest`, written back in plain digits for
// the conversion that follows, which would read a leading 0 as octal; the message says what is
// expected.
CLI::Validator wholeNumber(long least, long greatest)
{
    const std::string expected =
        "must be a whole number from " + std::to_string(least) + " to " + std::to_string(greatest) + ", not ";
    return CLI::Validator(
        [=](std::string& text) {
            const std::optional<long> value = wholeNumberOf(text);
            if (!value || *value < least || *value > greatest) return expected + text;
            text = std::to_string(*value);
            return std::string();
        },
        "N");
}

// Accepts a window that parameterProblem finds within its range, written back in plain digits;
// the message is its reason.
CLI::Validator windowValidator()
{
    static_assert(dofmap::kLeastWindow > 0, "0 stands for text that is no whole number");
    return CLI::Validator(
        [](std::string& text) {
            const std::optional<long> value = wholeNumberOf(text);
            dofmap::Parameters parameters;
            parameters.window = value ? int(std::clamp<long>(*value, INT_MIN, INT_MAX)) : 0;
            if (const std::optional<dofmap::ParameterProblem> problem = dofmap::parameterProblem(parameters))
                return problem->reason + ", not " + text;
            text = std::to_string(*value);
            return std::string();
        },
        "N");
}

// Accepts a sigma that parameterProblem finds within its range; the message is its reason.
CLI::Validator sigmaValidator()
{
    return CLI::Validator(
        [](std::string& text) {
            char* end = nullptr;
            const double sigma = std::strtod(text.c_str(), &end);
            dofmap::Parameters parameters;
            // Text that is not a number reads as NaN, which lies outside the range.
            parameters.sigma = end != text.c_str() && *end == '\0' ? sigma : std::nan("");
            const std::optional<dofmap::ParameterProblem> problem = dofmap::parameterProblem(parameters);
            return problem ? problem->reason + ", not " + text : std::string();
        },
        "SIGMA");
}

std::string joined(const std::vector<std::string>& names)
{
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
}

}  // namespace

int main(int argc, char** argv)
{
    using namespace dofmap;
    // Before any thread exists, so that every thread inherits the blocked signals.
    removeTemporaryFilesOnSignals();
    const bool outputClosed = ensureStandardDescriptors();
    batch::Options options;
    options.jobs = int(std::max(1u, std::thread::hardware_concurrency()));

    CLI::App app{"Depth-of-field maps of photographs: bright where the photo holds fine detail, dark where it "
                 "is smooth. Writes <stem>.dof.png (8-bit gray) for each photo, beside it or in --output.",
                 kProgram};
    app.set_version_flag("--version", std::string(kProgram) + " " + DOFMAP_VERSION);
    std::string extensions;
    for (const std::string& extension : photoExtensions())
        extensions += (extensions.empty() ? "" : ", ") + extension.substr(1);
    app.add_option("photos", options.inputs,
                   "Photos, or folders whose photos (" + extensions +
                       ", in any case) are all taken, their hidden files skipped; - reads one photo from standard "
                       "input");
    app.add_flag("-r,--recursive", options.recursive,
                 "Also take the photos of every folder below the folders given (sorted; hidden folders and "
                 "links to folders skipped, folders that cannot be read reported); with --output, outputs go to the "
                 "same relative folders there");
    app.add_flag("--raw-preview", options.rawPreview,
                 "RAW files: map the camera's embedded JPEG preview instead of developing the sensor data, when the "
                 "preview is at least half the sensor's width (much faster; processed by the camera, so maps differ)");
    std::string output;
    app.add_option("-o,--output", output,
                   "Folder for the outputs, created if missing (default: beside each photo); - writes the map of the "
                   "one photo to standard output");
    std::string pairing = "jpeg";
    app.add_option("--pair", pairing,
                   "A RAW file and a JPEG or HEIF file of one stem in one folder (IMG_1.CR2, IMG_1.JPG) are one shot, "
                   "with one map, record and verdict: jpeg figures the camera's picture, raw the RAW file; both "
                   "takes them as two photos")
        ->check(CLI::IsMember({"jpeg", "raw", "both"}))
        ->capture_default_str();
    app.add_option("--format", options.format, "Format of the map and the blurred reference")
        ->check(CLI::IsMember({"png", "jpg", "tif"}))
        ->capture_default_str();
    app.add_flag("--blurred", options.blurred, "Also write the blurred reference, <stem>.blur.<format>");
    std::string colormap;
    app.add_option("--colormap", colormap, "Also write a false-color map, <stem>.dof-<NAME>.png, with this colormap")
        ->check(CLI::Validator(
            [](std::string& name) {
                return colormapNamed(name) ? std::string()
                                           : "unknown colormap " + name + "; known: " + joined(colormapNames());
            },
            "NAME"));
    app.add_flag("--overlay", options.overlay,
                 "Also write <stem>.dof-overlay.jpg: the photo tinted by the colored map (--colormap, or inferno), "
                 "70 % where the map is white, not at all where it is black");
    app.add_flag("--means", options.means, "Also write <stem>.means.tif: the neighborhood means as 32-bit float");
    app.add_flag("--stats", options.stats,
                 "Print path,width,height,max_mean,mean_mean,p90_mean,companion (and verdict when judged) as CSV on "
                 "stdout");
    app.add_option("--sigma", options.parameters.sigma, "Standard deviation of the Gaussian blur, from 0.1 to 100")
        ->check(sigmaValidator())
        ->capture_default_str();
    app.add_option("--window", options.parameters.window,
                   "Side of the neighborhood, a whole number from 1 to 100000: N/2 before the pixel, N - 1 - N/2 after")
        ->check(windowValidator())
        ->capture_default_str();
    app.add_option("-j,--jobs", options.jobs, "Photos in flight at once (default: the number of cores)")
        ->check(wholeNumber(1, kGreatestJobs));
    std::string memory;
    app.add_option("--memory", memory,
                   "Memory the photos in flight may take, such as 2G or 800M (default: what is available at start, "
                   "less a margin); a photo that cannot fit alone is refused as too large")
        ->check(readableAs([](const std::string& text) { return dofmap::parseMemorySize(text); },
                           "a size such as 2G, 800M or 1500000", "SIZE"));
    app.add_flag("-q,--quiet", options.quiet, "No progress line, and no summary unless --summary");
    app.add_flag("--summary", options.summary,
                 "Print the summary line on stderr at the end (photos read and unreadable, what was written, the "
                 "verdicts) whatever stderr is, also with -q; without it, only when stderr is a terminal");
    std::string report;
    app.add_option("--report", report,
                   "Also write an HTML page to review the shoot: each photo's thumbnail, its overlay's, its figures "
                   "and verdict, blurry ones first (or as --sort says); the thumbnails go to FILE_files/ beside it "
                   "(FILE's name without extension). Written also with --dry-run and -o -")
        ->check(CLI::Validator(
            [](std::string& name) {
                if (name.empty()) return "must name a file";
                // The page has a folder of thumbnails beside it: standard output cannot hold both.
                return batch::isStandardStream(name) ? "must name a file (./- for one called -), not -" : "";
            },
            "FILE"));

    // Culling: figures without maps, records for pipelines, sidecars and verdicts for photo managers.
    app.add_flag("--no-map", options.noMap,
                 "Write no map: only the figures (--stats, --json, --xmp, --reject-below) and the other outputs asked "
                 "for; with --raw-preview the fastest way through a shoot");
    CLI::Option* json =
        app.add_flag("--json", options.json,
                     "Print one JSON object per photo on stdout instead of the CSV (JSON Lines, in input order): the "
                     "CSV's columns as keys, \"companion\" only for a shot of two files, \"verdict\" and "
                     "\"threshold\" when judged, only \"path\" (\"companion\") and \"error\" for a photo that "
                     "cannot be read");
    CLI::Option* stats = app.get_option("--stats");
    json->excludes(stats);
    CLI::Option* xmp =
        app.add_flag("--xmp", options.xmp,
                     "Merge the figures (and verdicts) into each photo's XMP sidecar beside it, under the "
                     "namespace " +
                         std::string(kXmpNamespace) +
                         " (prefix dofmap:), keeping "
                         "everything else the sidecar holds");
    std::string xmpName = "adobe";
    app.add_option("--xmp-name", xmpName,
                   "Name of a new sidecar: adobe for IMG_0001.xmp (Lightroom, Capture One, Bridge), full for "
                   "IMG_0001.CR2.xmp (darktable, digiKam; both files' names for a RAW+JPEG shot); an existing "
                   "sidecar is used whichever it is. Photos that share a stem without being a shot get their full "
                   "names")
        ->check(CLI::IsMember({"adobe", "full"}))
        ->needs(xmp)
        ->capture_default_str();
    std::string threshold;
    CLI::Option* reject =
        app.add_option(
               "--reject-below", threshold,
               "Judge every photo: blurry when its largest mean (its sharpest neighborhood) is below T, a figure "
               "or a percentage of the median of the batch's largest means (40%). A blurry photo's sidecar gets "
               "the keyword blurry and the rating -1 (rejected) when it has none")
            ->check(readableAs([](const std::string& text) { return batch::parseThreshold(text); },
                               "a number from 0, or a percentage such as 40%", "T"));
    app.add_flag("--cull", options.cull,
                 "Judge every photo as a photographer culls a shoot: the frames of one scene (taken within "
                 "seconds and alike) against the sharpest of them, a photo alone by its detail ratio and motion "
                 "blur; the records then carry scene, judged_by, cut and the culling figures (noise, "
                 "corrected_max_mean, detail_ratio, motion); blurry photos are marked as with --reject-below")
        ->excludes(reject);
    app.add_flag("--overwrite-ratings", options.overwriteRatings,
                 "Also reject blurry photos that already have a rating (1 to 5); without it their rating is kept");
    app.add_flag("--dry-run", options.dryRun,
                 "Write nothing (no map, output or sidecar) but the --report page: print the verdicts only, as a "
                 "table, or with --json or --stats");
    std::string sort;
    app.add_option("--sort", sort,
                   "Order the records (--stats, --json, the verdict table) and the --report page's cards by "
                   "max_mean, mean_mean, p90_mean or path, ascending, or descending with a minus sign before it; the "
                   "records then come at the end, photos that cannot be read last")
        ->check(readableAs([](const std::string& text) { return parseSortOrder(text); },
                           "max_mean, mean_mean, p90_mean or path, with - before it for descending", "FIGURE"));

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return usageError(e.what());
    }
    if (options.inputs.empty()) return usageError("no photo given");
    if (!output.empty()) options.output = output;
    if (!colormap.empty()) options.colormap = colormap;
    if (!memory.empty()) options.memory = parseMemorySize(memory);
    if (!threshold.empty()) options.rejectBelow = batch::parseThreshold(threshold);
    if (!report.empty()) options.report = report;
    if (!sort.empty()) options.sort = parseSortOrder(sort);
    options.xmpName = xmpName == "full" ? batch::SidecarName::full : batch::SidecarName::adobe;
    options.pair = pairing == "raw" ? batch::Pairing::raw
        : pairing == "both"         ? batch::Pairing::both
                                    : batch::Pairing::jpeg;
    if ((options.overwriteRatings || options.dryRun) && !batch::judged(options))
        return usageError(std::string(options.dryRun ? "--dry-run" : "--overwrite-ratings") +
                          " requires --reject-below or --cull");
    if (options.noMap && !batch::figuresWanted(options) && !options.blurred && !options.colormap && !options.overlay &&
        !options.means)
        return usageError("--no-map leaves nothing to do: ask for figures (--stats, --json, --xmp, --reject-below) or "
                          "other outputs");
    if (options.sort && !options.stats && !options.json && !batch::judged(options) && !options.report)
        return usageError("--sort orders the records and the page: ask for --stats, --json, --reject-below or "
                          "--report");
    const bool mapToStandardOutput = batch::mapToStandardOutput(options);
    if (mapToStandardOutput && options.noMap)
        return usageError("-o - writes the map to standard output: not with --no-map");
    if (mapToStandardOutput && (options.blurred || options.colormap || options.overlay || options.means))
        return usageError("-o - writes the map alone to standard output: not with --blurred, --colormap, --overlay "
                          "or --means, which need a folder");
    if (mapToStandardOutput && (options.stats || options.json || batch::judged(options)))
        return usageError("-o - writes the map to standard output, where the records of --stats, --json and "
                          "--reject-below would go too");

    std::vector<std::string> problems;
    std::vector<batch::UnreadableFolder> unreadable;
    const std::vector<batch::Photo> photos = batch::plan(options, problems, &unreadable);
    for (const batch::UnreadableFolder& folder : unreadable)
        reportLine(std::string(kProgram) + ": cannot read folder " + printable(folder.path) + ": " + folder.reason);
    if (!problems.empty()) return usageErrors(problems);
    // Folders that could not be read fail the run, but the photos of the others are still done.
    const int folderStatus = unreadable.empty() ? 0 : 1;
    if (photos.empty()) return folderStatus != 0 ? folderStatus : usageError("no photo found in the folders given");
    if (mapToStandardOutput && photos.size() > 1)
        return usageError("-o - writes the map of one photo to standard output, not of " +
                          std::to_string(photos.size()) + " photos");
    if (mapToStandardOutput && outputClosed) {
        reportLine(std::string(kProgram) + ": cannot write standard output: " + reasonOf(EBADF));
        return 1;
    }

    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    const bool errIsTerminal = ::isatty(STDERR_FILENO) == 1;
    silenceLibraryOutput();
    return std::max(folderStatus, batch::run(photos, options, errIsTerminal, outputClosed));
}
