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

// What a verdict of --cull rests on: the photo's scene, and the figure and cut it was judged by.
struct CullJudgement {
    int scene = -1;  // the id of the photo's scene (see assignScenes)
    int sceneSize = 1;  // the photos of that scene read
    std::string judgedBy;  // the figure judged by: corrected_max_mean, detail_ratio or motion (see CullFigures)
    double value = 0.0;  // the photo's figure
    double cut = 0.0;  // blurry below it (above it for motion)
};

// A photo's verdict: with --reject-below, the largest mean below which a photo is blurry; with
// --cull, what it was judged by.
struct Verdict {
    bool blurry = false;
    double threshold = 0.0;
    std::optional<CullJudgement> cull;
};

// The CSV header and one row of --stats: path,width,height,max_mean,mean_mean,p90_mean,companion, and
// verdict ("blurry" or "sharp") when the photos are judged. The companion is the other file of the
// photo's shot, empty when it has none. Fields are quoted when they hold a comma, quote or newline;
// figures have six decimals.
// With --cull (`culled`), also scene,judged_by,cut (of the verdict) and noise,corrected_max_mean,
// detail_ratio,motion (of CullFigures), empty where there are none.
std::string statisticsHeader(bool judged = false, bool culled = false);
std::string statisticsRow(const std::string& path, const PhotoStatistics& statistics, const std::string& companion = {},
                          const std::optional<Verdict>& verdict = std::nullopt, bool culled = false);

// One JSON object on one line: the CSV's columns as keys, in its order, with the same figures (the
// CSV's six decimals), "companion" only when the photo has one, and "verdict" ("blurry" or "sharp")
// and "threshold" when given ("scene", "judged_by" and "cut" instead for a verdict of --cull), then
// "noise", "corrected_max_mean", "detail_ratio" and "motion" when the culling figures were made. Each byte 0xHH of a
// path that is not valid UTF-8 is written as the escape \udcHH (Python's surrogateescape), so that
// os.fsencode(json.loads(line)["path"]) gives the path's bytes back.
std::string jsonRecord(const std::string& path, const PhotoStatistics& statistics, const std::string& companion = {},
                       const std::optional<Verdict>& verdict = std::nullopt);

// The JSON object of a photo that could not be read: its path (as jsonRecord writes it), its
// companion when it has one, and the reason.
std::string jsonFailure(const std::string& path, const std::string& reason, const std::string& companion = {});

// The verdict table: a first line saying what was judged against, then a row per photo, the
// verdict, the largest mean and the path (printed with control characters escaped), followed by
// "(with COMPANION)" for a shot of two files.
std::string verdictHeader(double threshold, const std::optional<double>& percentOfMedian, double medianMaxMean);
// The same for --cull: the header with the number of scenes, and a row with the figure the verdict
// rests on, the photo's value, the cut and the scene.
std::string cullHeader(int scenes);
std::string cullRow(const std::string& path, const Verdict& verdict, const std::string& companion = {});
std::string verdictRow(const std::string& path, double maxMean, bool blurry, const std::string& companion = {});

// A figure as the records print it: six decimals.
std::string decimal(double value);

}  // namespace dofmap::batch
