// What the batch prints per photo on standard output: CSV rows, JSON Lines objects, or a table of
// verdicts.
#pragma once

#include "cull_figures.hpp"
#include "focus_map.hpp"

#include <optional>
#include <string>

namespace dofmap::batch {

// The figures of one photo.
struct PhotoStatistics {
    int width = 0;
    int height = 0;
    MeanStatistics means{};
    std::optional<CullFigures> cull;  // with Options::cullFigures
};

// A photo's verdict, and the largest mean below which a photo is blurry.
struct Verdict {
    bool blurry = false;
    double threshold = 0.0;
};

// The CSV header and one row of --stats: path,width,height,max_mean,mean_mean,p90_mean,companion, and
// verdict ("blurry" or "sharp") when the photos are judged. The companion is the other file of the
// photo's shot, empty when it has none. Fields are quoted when they hold a comma, quote or newline;
// figures have six decimals.
std::string statisticsHeader(bool judged = false);
std::string statisticsRow(const std::string& path, const PhotoStatistics& statistics, const std::string& companion = {},
                          const std::optional<Verdict>& verdict = std::nullopt);

// One JSON object on one line: the CSV's columns as keys, in its order, with the same figures (the
// CSV's six decimals), "companion" only when the photo has one, and "verdict" ("blurry" or "sharp")
// and "threshold" when given. Each byte 0xHH of a path that is not valid UTF-8 is written as the
// escape \udcHH (Python's surrogateescape), so that os.fsencode(json.loads(line)["path"]) gives the
// path's bytes back.
std::string jsonRecord(const std::string& path, const PhotoStatistics& statistics, const std::string& companion = {},
                       const std::optional<Verdict>& verdict = std::nullopt);

// The JSON object of a photo that could not be read: its path (as jsonRecord writes it), its
// companion when it has one, and the reason.
std::string jsonFailure(const std::string& path, const std::string& reason, const std::string& companion = {});

// The verdict table: a first line saying what was judged against, then a row per photo, the
// verdict, the largest mean and the path (printed with control characters escaped), followed by
// "(with COMPANION)" for a shot of two files.
std::string verdictHeader(double threshold, const std::optional<double>& percentOfMedian, double medianMaxMean);
std::string verdictRow(const std::string& path, double maxMean, bool blurry, const std::string& companion = {});

// A figure as the records print it: six decimals.
std::string decimal(double value);

}  // namespace dofmap::batch
