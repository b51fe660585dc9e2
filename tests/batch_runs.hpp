// Running the real batch program on photos made in the test: what its tests share.
#pragma once

#include "images.hpp"
#include "process.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace dofmap::testing {

// A smooth photo with fine noise, of the given size.
inline cv::Mat photo(int width, int height, unsigned seed)
{
    cv::Mat source;
    cv::resize(randomImage(5, 4, seed), source, cv::Size(width, height), 0, 0, cv::INTER_CUBIC);
    cv::Mat noise(source.size(), CV_8UC3);
    cv::RNG(seed).fill(noise, cv::RNG::UNIFORM, 0, 12);
    return source + noise;
}

inline std::filesystem::path save(const std::filesystem::path& path, const cv::Mat& image)
{
    EXPECT_TRUE(cv::imwrite(path.string(), image)) << path;
    return path;
}

// dofmap-batch with `arguments`, in `directory`.
inline RunResult batch(const std::vector<std::string>& arguments, const std::filesystem::path& directory)
{
    std::vector<std::string> argv{DOFMAP_BATCH_BINARY};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runCommand(argv, directory, {}, std::chrono::seconds(120));
}

// dofmap-batch with `arguments` through `sh -c`, its standard streams first changed by `redirections`
// (for example "2>&-" or "> /dev/full").
inline RunResult batchRedirected(const std::string& redirections, const std::vector<std::string>& arguments,
                                 const std::filesystem::path& directory)
{
    std::vector<std::string> argv{"sh", "-c", "exec \"$0\" \"$@\" " + redirections, DOFMAP_BATCH_BINARY};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runCommand(argv, directory, {}, std::chrono::seconds(120));
}

// The fields of one CSV row, unquoted as the batch quotes them.
inline std::vector<std::string> csvFields(const std::string& row)
{
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (std::size_t i = 0; i < row.size(); ++i) {
        if (row[i] == '"' && quoted && i + 1 < row.size() && row[i + 1] == '"') {
            fields.back() += '"';
            ++i;
        } else if (row[i] == '"') {
            quoted = !quoted;
        } else if (row[i] == ',' && !quoted) {
            fields.emplace_back();
        } else {
            fields.back() += row[i];
        }
    }
    return fields;
}

inline std::size_t entriesIn(const std::filesystem::path& directory)
{
    return std::size_t(
        std::distance(std::filesystem::directory_iterator(directory), std::filesystem::directory_iterator()));
}

}  // namespace dofmap::testing
