// The contact sheet of --report: thumbnails made while each photo is in memory and written at once,
// and the page, a header and one card per photo, written when the run ends.
#include "report.hpp"

#include "atomic_file.hpp"
#include "batch.hpp"
#include "false_color.hpp"
#include "io_error.hpp"
#include "jpeg_writer.hpp"
#include "messages.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>
#include <system_error>
#include <utility>

namespace dofmap::batch {
namespace fs = std::filesystem;

namespace {

// The least number of digits of a thumbnail's number, so that names sort as the photos do up to
// 9999 photos.
constexpr std::size_t kNumberDigits = 4;
// The gap between the two thumbnails of a card, and a card's padding and border, in CSS pixels.
constexpr int kThumbnailGap = 8;
constexpr int kCardPadding = 10;
constexpr int kCardBorder = 1;
// The height of a card's text below its thumbnails (name, verdict, four figures), about.
constexpr int kCardTextHeight = 150;

// `text` with the characters that HTML gives a meaning to replaced by references, so that it reads
// as text in an element and inside a quoted attribute.
std::string htmlEscaped(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// A path or a reason as the page shows it: as the messages print it (escapes for control
// characters and bytes that are not UTF-8, so the page stays valid UTF-8), then HTML-escaped.
std::string shown(const std::string& text)
{
    return htmlEscaped(printable(text));
}

// Every byte of `name` but the unreserved ones of URLs (letters, digits, - . _ ~) as %XX, so that
// the name is one path segment of a relative URL whatever it holds (#, ?, %, spaces, non-UTF-8).
std::string percentEncoded(const std::string& name)
{
    std::string out;
    for (const char c : name) {
        const unsigned char byte = static_cast<unsigned char>(c);
        const bool alphanumeric = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (alphanumeric || c == '-' || c == '.' || c == '_' || c == '~') {
            out += c;
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", unsigned(byte));
            out += escaped;
        }
    }
    return out;
}

std::string numbered(std::size_t index, std::size_t count)
{
    std::string number = std::to_string(index + 1);
    const std::size_t digits = std::max(kNumberDigits, std::to_string(count).size());
    number.insert(0, digits - std::min(digits, number.size()), '0');
    return number;
}

std::vector<unsigned char> encodedJpeg(const cv::Mat& image)
{
    std::vector<unsigned char> bytes;
    const IoStatus encoded = encodeJpeg(image, kThumbnailQuality, bytes);
    // The photo is refused as out of memory; a thumbnail that cannot be encoded is left out.
    if (!encoded && encoded.error().reason == IoReason::outOfMemory) throw std::bad_alloc();
    return bytes;
}

// `image` scaled down to `size`: halved by pixel area while it is at least twice as large (a whole
// factor takes OpenCV's fast path: from 24 megapixels five times faster than one step by area, which
// took twice the blur's time on a 0.6-megapixel photo), then interpolated the rest of the way, less
// than a factor of two. Each halving replaces the image before, so that a quarter of the image and
// a sixteenth are the most held at once.
cv::Mat scaledDown(const cv::Mat& image, cv::Size size)
{
    cv::Mat current = image;
    while (current.cols >= 2 * size.width && current.rows >= 2 * size.height) {
        cv::Mat half;
        cv::resize(current, half, cv::Size(), 0.5, 0.5, cv::INTER_AREA);
        current = half;
    }
    if (current.size() == size) return current;
    cv::Mat result;
    cv::resize(current, result, size, 0, 0, cv::INTER_LINEAR);
    return result;
}

const char* const kStyle = R"(:root{color-scheme:light}
body{margin:0;font:14px/1.4 sans-serif;background:#eceae6;color:#1d1d1d}
header{padding:14px 20px;background:#fff;border-bottom:1px solid #c8c6c2}
h1{margin:0 0 4px;font-size:20px}
header p{margin:2px 0}
.counts span{margin-right:16px}
main{display:flex;flex-wrap:wrap;align-items:flex-start;gap:14px;padding:14px 20px}
.card{width:@CARD@px;padding:@PADDING@px;background:#fff;border:@BORDER@px solid #c8c6c2;border-radius:6px;
content-visibility:auto;contain-intrinsic-size:auto @OUTER@px auto @TALL@px}
.card.blurry{border-color:#b3261e;box-shadow:0 0 0 1px #b3261e}
.thumbs{display:flex;gap:@GAP@px}
.thumbs img{width:@BOX@px;height:@BOX@px;object-fit:contain;background:#d9d7d3}
.thumbs.missing{height:@BOX@px;align-items:center;justify-content:center;background:#d9d7d3;color:#555}
h2{margin:8px 0 4px;font-size:13px;font-weight:600;overflow-wrap:anywhere}
.verdict{display:inline-block;margin:0 0 4px;padding:0 8px;border-radius:9px;font-weight:600;color:#fff;background:#2e7d32}
.verdict.blurry{background:#b3261e}
dl{display:grid;grid-template-columns:auto 1fr;gap:0 10px;margin:0;font-variant-numeric:tabular-nums}
dt{color:#555}
dd{margin:0}
.companion{margin:0 0 4px;color:#555;overflow-wrap:anywhere}
.reason{margin:0;color:#b3261e}
)";

std::string style()
{
    std::string css = kStyle;
    const auto replace = [&](const std::string& key, int value) {
        for (std::size_t at = css.find(key); at != std::string::npos; at = css.find(key, at))
            css.replace(at, key.size(), std::to_string(value));
    };
    replace("@CARD@", 2 * kThumbnailBox + kThumbnailGap);
    // The size a card off the screen is laid out with, which the browser does not render until it
    // comes near (a page of a thousand cards loaded in half the time): with its padding and border,
    // the thumbnails, the name, the verdict and four figures.
    const int frame = 2 * (kCardPadding + kCardBorder);
    replace("@OUTER@", 2 * kThumbnailBox + kThumbnailGap + frame);
    replace("@TALL@", kThumbnailBox + kCardTextHeight + frame);
    replace("@PADDING@", kCardPadding);
    replace("@BORDER@", kCardBorder);
    replace("@GAP@", kThumbnailGap);
    replace("@BOX@", kThumbnailBox);
    return css;
}

// The order of the cards in the header's words: of --sort, or blurry photos first when judged.
std::string orderInWords(const Options& options, bool judged)
{
    if (!options.sort) return judged ? "; blurry photos first" : "";
    const char* key = "max_mean";
    switch (options.sort->key) {
    case SortKey::meanMean:
        key = "mean_mean";
        break;
    case SortKey::p90Mean:
        key = "p90_mean";
        break;
    case SortKey::path:
        key = "path";
        break;
    default:
        break;
    }
    return std::string("; ordered by ") + key + (options.sort->descending ? ", descending" : "") +
        ", unreadable photos last";
}

std::string card(std::size_t index, const Photo& photo, const PhotoOutcome& outcome, const std::string& folderUrl,
                 std::size_t count)
{
    const bool blurry = outcome.verdict && outcome.verdict->blurry;
    std::string html = std::string("<article class=\"card") + (blurry ? " blurry" : "") +
        (outcome.statistics ? "" : " unreadable") + "\">\n";
    const cv::Size thumbnails = outcome.thumbnails.size;
    if (!thumbnails.empty()) {
        const std::string size =
            " width=\"" + std::to_string(thumbnails.width) + "\" height=\"" + std::to_string(thumbnails.height) + "\"";
        const std::string number = numbered(index, count);
        html += "<div class=\"thumbs\"><img src=\"" + folderUrl + number + ".photo.dof-thumb.jpg\"" + size +
            " alt=\"photo\" loading=\"lazy\"><img src=\"" + folderUrl + number + ".overlay.dof-thumb.jpg\"" + size +
            " alt=\"overlay\" loading=\"lazy\"></div>\n";
    } else {
        html += std::string("<div class=\"thumbs missing\">") +
            (outcome.statistics ? "no thumbnail: it could not be written" : "no thumbnail") + "</div>\n";
    }
    html += "<h2>" + shown(photo.input) + "</h2>\n";
    // The other file of a shot, which was not read, as the records name it.
    if (!photo.companion.empty()) html += "<p class=\"companion\">with " + shown(photo.companion) + "</p>\n";
    if (!outcome.statistics)
        return html + "<p class=\"reason\">cannot read: " + shown(outcome.unreadable) + "</p>\n</article>\n";
    if (outcome.verdict)
        html += std::string("<p class=\"verdict") + (blurry ? " blurry\">blurry" : "\">sharp") + "</p>\n";
    // What a verdict of culling rests on: the figure against its cut, in the photo's scene.
    if (outcome.verdict && outcome.verdict->cull) {
        const CullJudgement& cull = *outcome.verdict->cull;
        html += "<p class=\"judged\">" + htmlEscaped(cull.judgedBy) + " " + decimal(cull.value) + ", cut " +
            decimal(cull.cut) + "; scene " + std::to_string(cull.scene) + " of " + std::to_string(cull.sceneSize) +
            (cull.sceneSize == 1 ? " photo" : " photos") + "</p>\n";
    }
    const PhotoStatistics& statistics = *outcome.statistics;
    html += "<dl><dt>size</dt><dd>" + std::to_string(statistics.width) + " &times; " +
        std::to_string(statistics.height) + "</dd><dt>max_mean</dt><dd>" + decimal(statistics.means.maxMean) +
        "</dd><dt>mean_mean</dt><dd>" + decimal(statistics.means.meanMean) + "</dd><dt>p90_mean</dt><dd>" +
        decimal(statistics.means.p90Mean) + "</dd>";
    if (const std::optional<CullFigures>& cull = statistics.cull)
        html += "<dt>noise</dt><dd>" + decimal(cull->noise) + "</dd><dt>detail_ratio</dt><dd>" +
            decimal(cull->detailRatio) + "</dd><dt>motion</dt><dd>" + decimal(cull->motion) + "</dd>";
    html += "</dl>\n";
    return html + "</article>\n";
}

}  // namespace

Thumbnails makeThumbnails(const cv::Mat& photo, const cv::Mat& grayMap, cv::ColormapTypes colormap)
{
    CV_Assert(photo.type() == CV_8UC3 && grayMap.type() == CV_8UC1 && photo.size() == grayMap.size());
    const double scale = std::min(1.0, double(kThumbnailSide) / double(std::max(photo.cols, photo.rows)));
    const cv::Size size(std::max(1, int(std::lround(photo.cols * scale))),
                        std::max(1, int(std::lround(photo.rows * scale))));
    const cv::Mat small = scaledDown(photo, size);
    const cv::Mat smallMap = scaledDown(grayMap, size);
    Thumbnails thumbnails;
    thumbnails.photo = encodedJpeg(small);
    thumbnails.overlay = encodedJpeg(overlay(small, smallMap, colormap));
    if (thumbnails.photo.empty() || thumbnails.overlay.empty()) return {};
    thumbnails.size = size;
    return thumbnails;
}

fs::path thumbnailFolder(const fs::path& page)
{
    return page.parent_path() / (page.stem().string() + "_files");
}

std::vector<fs::path> thumbnailPaths(const fs::path& page, std::size_t index, std::size_t count)
{
    const fs::path folder = thumbnailFolder(page);
    const std::string number = numbered(index, count);
    return {folder / (number + ".photo.dof-thumb.jpg"), folder / (number + ".overlay.dof-thumb.jpg")};
}

std::vector<std::size_t> pageOrder(const std::vector<Photo>& photos, const BatchOutcome& outcome,
                                   const Options& options)
{
    if (options.sort) return recordOrder(photos, outcome.photos, *options.sort);
    std::vector<std::size_t> order(photos.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_partition(order.begin(), order.end(), [&](std::size_t i) {
        const std::optional<Verdict>& verdict = outcome.photos[i].verdict;
        return verdict && verdict->blurry;
    });
    return order;
}

std::string contactSheetHtml(const fs::path& page, const std::vector<Photo>& photos, const BatchOutcome& outcome,
                             const Options& options)
{
    const BatchCounts counts = countsOf(outcome);
    const std::string total = std::to_string(photos.size());
    const bool judged = outcome.threshold.has_value() || outcome.scenes.has_value();
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
                       "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; img-src 'self'; "
                       "style-src 'unsafe-inline'\">\n<title>dofmap-batch: " +
        total + " photos</title>\n<style>\n" + style() + "</style>\n</head>\n<body>\n";
    html += "<header>\n<h1>Depth of field: " + total +
        " photos</h1>\n<p class=\"counts\"><span class=\"photos\">photos <b>" + total +
        "</b></span> <span class=\"read\">read <b>" + std::to_string(counts.read) +
        "</b></span> <span class=\"unreadable\">unreadable <b>" + std::to_string(counts.unreadable) + "</b></span>";
    if (judged)
        html += " <span class=\"sharp\">sharp <b>" + std::to_string(counts.sharp) +
            "</b></span> <span class=\"blurry\">blurry <b>" + std::to_string(counts.blurry) + "</b></span>";
    html += "</p>\n";
    // The verdict table's first line, without its comment mark, so that both say the same.
    if (outcome.scenes) {
        html += "<p class=\"threshold\">" + htmlEscaped(cullHeader(*outcome.scenes).substr(2)) + "</p>\n";
    } else if (judged) {
        const bool share = options.rejectBelow && options.rejectBelow->percentOfMedian;
        std::vector<double> maxMeans;
        for (const PhotoOutcome& photo : outcome.photos)
            if (photo.statistics) maxMeans.push_back(photo.statistics->means.maxMean);
        const std::optional<double> percent = share ? std::optional<double>(options.rejectBelow->value) : std::nullopt;
        html += "<p class=\"threshold\">" +
            htmlEscaped(verdictHeader(*outcome.threshold, percent, share ? median(maxMeans) : 0.0).substr(2)) +
            "</p>\n";
    }
    char blur[64];
    std::snprintf(blur, sizeof blur, "%g", options.parameters.sigma);
    html +=
        std::string("<p class=\"settings\">each photo beside its overlay, tinted where it is sharp; blur &sigma; ") +
        blur + ", window " + std::to_string(options.parameters.window) + orderInWords(options, judged) +
        "</p>\n</header>\n<main>\n";
    const std::string folderUrl = percentEncoded(thumbnailFolder(page).filename().string()) + "/";
    for (const std::size_t i : pageOrder(photos, outcome, options))
        html += card(i, photos[i], outcome.photos[i], folderUrl, photos.size());
    return html + "</main>\n</body>\n</html>\n";
}

ContactSheet::ContactSheet(fs::path page, std::size_t count) : page_(std::move(page)), count_(count)
{
}

bool ContactSheet::prepare(Reporter& reporter) const
{
    for (const fs::path& folder : {page_.parent_path(), thumbnailFolder(page_)}) {
        std::error_code error;
        if (folder.empty() || fs::create_directories(folder, error) || !error) continue;
        std::error_code ignored;
        if (fs::is_directory(folder, ignored)) continue;
        reporter.cannotWrite(page_, reasonOf(error.value()));
        return false;
    }
    return true;
}

bool ContactSheet::writeThumbnails(std::size_t index, Thumbnails& thumbnails, Reporter& reporter) const
{
    const std::vector<fs::path> paths = thumbnailPaths(page_, index, count_);
    const std::vector<unsigned char>* const contents[] = {&thumbnails.photo, &thumbnails.overlay};
    bool written = true;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const IoStatus status = thumbnails.empty() ? IoStatus(failure(IoReason::cannotEncodeImage))
                                                   : writeFileAtomically(paths[i], *contents[i]);
        if (status) continue;
        reporter.cannotWrite(paths[i], status.message());
        written = false;
    }
    thumbnails.photo = {};
    thumbnails.overlay = {};
    if (!written) thumbnails.size = cv::Size();
    return written;
}

bool ContactSheet::write(const std::vector<Photo>& photos, const BatchOutcome& outcome, const Options& options,
                         Reporter& reporter) const
{
    const IoStatus written = withMemoryGuard([&] {
        const std::string html = contactSheetHtml(page_, photos, outcome, options);
        return writeFileAtomically(page_, std::vector<unsigned char>(html.begin(), html.end()));
    });
    if (written) return true;
    reporter.cannotWrite(page_, written.message());
    return false;
}

}  // namespace dofmap::batch
