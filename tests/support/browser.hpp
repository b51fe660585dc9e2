// Pages opened in headless Chromium from the tests: what a page logged and what its DOM holds, through
// the DevTools protocol on a pipe, and screenshots by Chromium's own command line; each run under a
// time limit, with a fresh profile, nothing fetched.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace dofmap::testing {

// Chromium's command line: headless, runnable as root (no sandbox), no GPU, no first-run dialogs,
// no background networking, component updates or sync, the profile in `profile`, a window of
// `width` x `height` CSS pixels at one device pixel each.
std::vector<std::string> chromiumCommand(const std::filesystem::path& profile, int width, int height);

// What a visit of a page gave.
struct PageVisit {
    std::string failure;  // why the visit itself failed (Chromium did not start, the time ran out), or empty
    std::vector<std::string>
        errors;  // console errors, uncaught exceptions, errors logged (failed loads, blocked content)
    nlohmann::json value;  // what `expression` evaluated to
};

// Opens `url` in a window of `width` x `height`, waits for its load event and then for every image of
// the page to be loaded and decoded (lazy ones made eager first), and evaluates the JavaScript
// `expression` there, whose value must be JSON. Gives up after `limit`, killing the browser.
PageVisit visitPage(const std::string& url, const std::string& expression, int width, int height,
                    std::chrono::milliseconds limit);

// `path` as a file: URL, each byte but the unreserved ones and '/' percent-encoded.
std::string fileUrl(const std::filesystem::path& path);

}  // namespace dofmap::testing
