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

// The figure as the CSV prints it, as a JSON number: parsing either gives the same double.
double asPrinted(double value)
{
    return std::strtod(decimal(value).c_str(), nullptr);
}

// `text` as a JSON string. Valid UTF-8 is kept, with quotes, backslashes and control characters
// escaped as nlohmann's dump escapes them; each byte 0xHH that is not valid UTF-8 is written \udcHH,
// the code point Python's surrogateescape decodes it to, so that os.fsencode(json.loads(...))
// gives the bytes back (nlohmann's dump would take every such byte to one U+FFFD).
std::string jsonString(const std::string& text)
{
    std::string out = "\"";
    const auto escape = [&out](const char* format, unsigned value) { appendEscape(out, format, value); };
    walkUtf8(
        text, [&](unsigned char byte) { escape("\\udc%02x", byte); },
        [&](char32_t code, std::size_t at, std::size_t length) {
            switch (code) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (code < 0x20)
                    escape("\\u%04x", unsigned(code));
                else
                    out.append(text, at, length);
            }
        });
    return out + '"';
}

// The members of `object` as its dump writes them, without the braces; empty for none.
std::string members(const nlohmann::ordered_json& object)
{
    if (object.empty()) return "";
    const std::string dumped = object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    return dumped.substr(1, dumped.size() - 2);
}

// The object's line: "path" first, written by jsonString, then `before`, "companion" (by jsonString
// too) when not empty, and `after`, written by nlohmann.
std::string lineWithPath(const std::string& path, const nlohmann::ordered_json& before, const std::string& companion,
                         const nlohmann::ordered_json& after)
{
    std::string line = "{\"path\":" + jsonString(path);
    for (const std::string& part :
         {members(before), companion.empty() ? std::string() : "\"companion\":" + jsonString(companion),
          members(after)})
        if (!part.empty()) line += "," + part;
    return line + "}";
}

const char* verdictWord(bool blurry)
{
    return blurry ? "blurry" : "sharp";
}

}  // namespace

std::string decimal(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.6f", value);
    return text;
}

std::string statisticsHeader(bool judged, bool culled)
{
    return std::string("path,width,height,max_mean,mean_mean,p90_mean,companion") + (judged ? ",verdict" : "") +
        (culled ? ",scene,judged_by,cut,noise,corrected_max_mean,detail_ratio,motion" : "");
}

std::string statisticsRow(const std::string& path, const PhotoStatistics& statistics, const std::string& companion,
                          const std::optional<Verdict>& verdict, bool culled)
{
    std::string row = csvField(path) + "," + std::to_string(statistics.width) + "," +
        std::to_string(statistics.height) + "," + decimal(statistics.means.maxMean) + "," +
        decimal(statistics.means.meanMean) + "," + decimal(statistics.means.p90Mean) + "," + csvField(companion);
    if (verdict) row += std::string(",") + verdictWord(verdict->blurry);
    if (!culled) return row;
    const std::optional<CullJudgement> judgement = verdict ? verdict->cull : std::nullopt;
    row += judgement
        ? "," + std::to_string(judgement->scene) + "," + judgement->judgedBy + "," + decimal(judgement->cut)
        : std::string(",,,");
    const std::optional<CullFigures>& cull = statistics.cull;
    row += cull ? "," + decimal(cull->noise) + "," + decimal(cull->correctedMaxMean) + "," +
            decimal(cull->detailRatio) + "," + decimal(cull->motion)
                : std::string(",,,,");
    return row;
}

std::string jsonRecord(const std::string& path, const PhotoStatistics& statistics, const std::string& companion,
                       const std::optional<Verdict>& verdict)
{
    // The companion's path is written by jsonString like the path, so it goes in after nlohmann's keys.
    nlohmann::ordered_json figures;
    figures["width"] = statistics.width;
    figures["height"] = statistics.height;
    figures["max_mean"] = asPrinted(statistics.means.maxMean);
    figures["mean_mean"] = asPrinted(statistics.means.meanMean);
    figures["p90_mean"] = asPrinted(statistics.means.p90Mean);
    nlohmann::ordered_json judged;
    if (verdict) {
        judged["verdict"] = verdictWord(verdict->blurry);
        if (const std::optional<CullJudgement>& cull = verdict->cull) {
            judged["scene"] = cull->scene;
            judged["judged_by"] = cull->judgedBy;
            judged["cut"] = asPrinted(cull->cut);
        } else {
            judged["threshold"] = asPrinted(verdict->threshold);
        }
    }
    if (const std::optional<CullFigures>& cull = statistics.cull) {
        judged["noise"] = asPrinted(cull->noise);
        judged["corrected_max_mean"] = asPrinted(cull->correctedMaxMean);
        judged["detail_ratio"] = asPrinted(cull->detailRatio);
        judged["motion"] = asPrinted(cull->motion);
    }
    return lineWithPath(path, figures, companion, judged);
}

std::string jsonFailure(const std::string& path, const std::string& reason, const std::string& companion)
{
    nlohmann::ordered_json error;
    error["error"] = reason;
    return lineWithPath(path, nlohmann::ordered_json(), companion, error);
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

std::string cullHeader(int scenes)
{
    return "# blurry: judged against the sharpest frames of its scene, or alone (" + std::to_string(scenes) +
        (scenes == 1 ? " scene)" : " scenes)");
}

std::string cullRow(const std::string& path, const Verdict& verdict, const std::string& companion)
{
    const CullJudgement& cull = *verdict.cull;
    // Motion is blurry above its cut, the other figures below theirs.
    const bool above = cull.judgedBy == "motion";
    const char* const relation = above ? (verdict.blurry ? "> " : "<=") : (verdict.blurry ? "< " : ">=");
    char figures[160];
    std::snprintf(figures, sizeof figures, "%-18s %11.6f %s %11.6f  scene %d", cull.judgedBy.c_str(), cull.value,
                  relation, cull.cut, cull.scene);
    return std::string(verdict.blurry ? "blurry" : "sharp ") + " " + figures + "  " + printable(path) +
        (companion.empty() ? "" : " (with " + printable(companion) + ")");
}

std::string verdictRow(const std::string& path, double maxMean, bool blurry, const std::string& companion)
{
    char figure[64];
    std::snprintf(figure, sizeof figure, "%12.6f", maxMean);
    return std::string(blurry ? "blurry" : "sharp ") + " " + figure + "  " + printable(path) +
        (companion.empty() ? "" : " (with " + printable(companion) + ")");
}

}  // namespace dofmap::batch
