// What the batch prints per photo on standard output: CSV rows, JSON Lines objects, or a table of
// verdicts.
#pragma once

#include "focus_map.hpp"

#include <optional>
#include <string>

namespace dofmap::batch {

// The figures of one photo.
struct PhotoStatistics {
    int width = 0;
    int height = 0;
    MeanStatistics means{};
};

// The CSV header and one row of --stats; the path is quoted when it holds a comma, quote or newline.
// Figures have six decimals.
std::string statisticsHeader();
std::string statisticsRow(const std::string& path, const PhotoStatistics& statistics);

// One JSON object on one line: the CSV's columns as keys, in its order, with the same figures (the
// CSV's six decimals), and "verdict" ("blurry" or "sharp") when given. Each byte 0xHH of the path
// that is not valid UTF-8 is written as the escape \udcHH (Python's surrogateescape), so that
// os.fsencode(json.loads(line)["path"]) gives the path's bytes back.
std::string jsonRecord(const std::string& path, const PhotoStatistics& statistics,
                       const std::optional<bool>& blurry = std::nullopt);

// The JSON object of a photo that could not be read: its path (as jsonRecord writes it) and the
// reason.
std::string jsonFailure(const std::string& path, const std::string& reason);

// The verdict table: a first line saying what was judged against, then a row per photo, the
// verdict, the largest mean and the path (printed with control characters escaped).
std::string verdictHeader(double threshold, const std::optional<double>& percentOfMedian, double medianMaxMean);
std::string verdictRow(const std::string& path, double maxMean, bool blurry);

}  // namespace dofmap::batch
