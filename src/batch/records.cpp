// What the batch prints per photo on standard output: CSV rows, JSON Lines objects, or a table of
// verdicts.
#include "records.hpp"

#include "messages.hpp"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>

namespace dofmap::batch {
namespace {

std::string csvField(const std::string& text)
{
    if (text.find_first_of(",\"\n\r") == std::string::npos) return text;
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

std::string decimal(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.6f", value);
    return text;
}

// The figure as the CSV prints it, as a JSON number: parsing either gives the same double.
double asPrinted(double value)
{
    return std::strtod(decimal(value).c_str(), nullptr);
}

std::string line(const nlohmann::ordered_json& object)
{
    return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace

std::string statisticsHeader()
{
    return "path,width,height,max_mean,mean_mean,p90_mean";
}

std::string statisticsRow(const std::string& path, const PhotoStatistics& statistics)
{
    return csvField(path) + "," + std::to_string(statistics.width) + "," + std::to_string(statistics.height) + "," +
        decimal(statistics.means.maxMean) + "," + decimal(statistics.means.averageMean) + "," +
        decimal(statistics.means.p90Mean);
}

std::string jsonRecord(const std::string& path, const PhotoStatistics& statistics, const std::optional<bool>& blurry)
{
    nlohmann::ordered_json object;
    object["path"] = path;
    object["width"] = statistics.width;
    object["height"] = statistics.height;
    object["max_mean"] = asPrinted(statistics.means.maxMean);
    object["mean_mean"] = asPrinted(statistics.means.averageMean);
    object["p90_mean"] = asPrinted(statistics.means.p90Mean);
    if (blurry) object["verdict"] = *blurry ? "blurry" : "sharp";
    return line(object);
}

std::string jsonFailure(const std::string& path, const std::string& reason)
{
    nlohmann::ordered_json object;
    object["path"] = path;
    object["error"] = reason;
    return line(object);
}

std::string verdictHeader(double threshold, const std::optional<double>& percentOfMedian, double medianMaxMean)
{
    std::string header = "# blurry: largest mean below " + decimal(threshold);
    if (percentOfMedian) {
        char share[64];
        std::snprintf(share, sizeof share, "%g", *percentOfMedian);
        header += std::string(" (") + share + " % of the median largest mean, " + decimal(medianMaxMean) + ")";
    }
    return header;
}

std::string verdictRow(const std::string& path, double maxMean, bool blurry)
{
    char figure[64];
    std::snprintf(figure, sizeof figure, "%12.6f", maxMean);
    return std::string(blurry ? "blurry" : "sharp ") + " " + figure + "  " + printable(path);
}

}  // namespace dofmap::batch
