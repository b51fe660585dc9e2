// The analyzer run on photos made in each test: what it shows, in which order, and what it saves.
#include "focus_analyzer.hpp"
#include "focus_map.hpp"
#include "images.hpp"
#include "literal_map.hpp"
#include "process.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace dofmap {
namespace {

namespace fs = std::filesystem;
using testing::firstDifference;
using testing::randomImage;

// Records what would be shown, in order, with a copy of each image.
class RecordingDisplay final : public Display {
public:
    void show(const std::string& title, const cv::Mat& image) override { shown.emplace_back(title, image.clone()); }
    void waitForKey() override { }
    void closeAll() override { }

    std::vector<std::pair<std::string, cv::Mat>> shown;
};

// Runs each test in a fresh temporary working directory, as the program runs in its own.
class FocusAnalyzerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        previous_ = fs::current_path();
        fs::current_path(directory_.path());
    }
    void TearDown() override { fs::current_path(previous_); }

    const std::string program_ = "dofmap";
    RecordingDisplay display_;

private:
    fs::path previous_;
    const testing::TemporaryDirectory directory_{"dofmap-analyzer"};
};

TEST_F(FocusAnalyzerTest, ShowsOriginalAtOnceThenBlurAndDofAndSavesBoth)
{
    fs::create_directory("save");
    const cv::Mat photo = randomImage(70, 50, 21);
    FocusAnalyzer analyzer(photo, display_, program_);
    ASSERT_EQ(display_.shown.size(), 1u);
    EXPECT_EQ(display_.shown[0].first, "Original");
    EXPECT_TRUE(analyzer.blurred.empty() && analyzer.dofMap.empty());

    analyzer.computeDof();
    ASSERT_EQ(display_.shown.size(), 3u);
    EXPECT_EQ(display_.shown[1].first, "Blur");
    EXPECT_EQ(display_.shown[2].first, "DoF");
    EXPECT_EQ(firstDifference(display_.shown[1].second, blurredReference(photo)), "");
    EXPECT_EQ(firstDifference(display_.shown[2].second, reference::literalMap(photo, blurredReference(photo))), "");
    EXPECT_TRUE(analyzer.allSaved());

    // The files hold what a plain JPEG encoding of each image gives.
    for (const auto& [path, image] : {std::pair{kBlurPath, analyzer.blurred}, std::pair{kDofPath, analyzer.dofMap}}) {
        std::vector<uchar> encoded;
        ASSERT_TRUE(cv::imencode(".jpg", image, encoded));
        EXPECT_EQ(firstDifference(cv::imread(path), cv::imdecode(encoded, cv::IMREAD_COLOR)), "") << path;
    }
    // No temporary file is left beside them.
    EXPECT_EQ(std::distance(fs::directory_iterator("save"), fs::directory_iterator()), 2);
}

TEST_F(FocusAnalyzerTest, FailedSavesAreReportedAndTheAnalysisGoesOn)
{
    const cv::Mat photo = randomImage(20, 20, 4);
    FocusAnalyzer analyzer(photo, display_, program_);
    ::testing::internal::CaptureStderr();
    analyzer.computeDof();
    const std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(errors,
              "dofmap: cannot write save/Blur.jpg: no such file or directory\n"
              "dofmap: cannot write save/DoF.jpg: no such file or directory\n");
    EXPECT_FALSE(analyzer.allSaved());
    EXPECT_EQ(display_.shown.size(), 3u);
    EXPECT_FALSE(analyzer.dofMap.empty());
}

TEST_F(FocusAnalyzerTest, FailedSaveKeepsTheFileAlreadyThere)
{
    fs::create_directory("save");
    fs::create_directory(kDofPath);  // a directory where the file should go: rename must fail
    const cv::Mat photo = randomImage(20, 20, 5);
    FocusAnalyzer analyzer(photo, display_, program_);
    ::testing::internal::CaptureStderr();
    analyzer.computeDof();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "dofmap: cannot write save/DoF.jpg: is a directory\n");
    EXPECT_TRUE(fs::is_directory(kDofPath));
    EXPECT_TRUE(fs::is_regular_file(kBlurPath));
    EXPECT_EQ(std::distance(fs::directory_iterator("save"), fs::directory_iterator()), 2);
}

TEST(LegacyImageBridge, MatrixAndHeaderViewTheSamePixels)
{
    cv::Mat pixels = randomImage(9, 7, 8);
    const std::unique_ptr<IplImage> header = matToIpl(pixels);
    ASSERT_EQ(header->width, 9);
    ASSERT_EQ(header->height, 7);
    ASSERT_EQ(header->nChannels, 3);

    const cv::Mat view = iplToMat(header.get());
    EXPECT_EQ(view.data, pixels.data);
    EXPECT_EQ(view.type(), CV_8UC3);
    EXPECT_EQ(view.size(), pixels.size());

    // A write through the header's view shows in the matrix, and one through the matrix in the view.
    cv::Mat viewOfView = view;
    viewOfView.at<cv::Vec3b>(6, 8) = cv::Vec3b(1, 2, 3);
    EXPECT_EQ(pixels.at<cv::Vec3b>(6, 8), cv::Vec3b(1, 2, 3));
    pixels.at<cv::Vec3b>(0, 0) = cv::Vec3b(4, 5, 6);
    EXPECT_EQ(view.at<cv::Vec3b>(0, 0), cv::Vec3b(4, 5, 6));
    EXPECT_EQ(reinterpret_cast<const uchar*>(header->imageData), pixels.data);
}

TEST(LegacyImageBridge, ViewOfAnImageOwnsNoPixels)
{
    cv::Mat pixels = randomImage(4, 4, 9);
    const std::unique_ptr<IplImage> header = matToIpl(pixels);
    {
        const cv::Mat view = iplToMat(header.get());
        EXPECT_EQ(view.u, nullptr);  // no allocation of its own: releasing it frees nothing
    }
    EXPECT_EQ(pixels.at<cv::Vec3b>(3, 3), randomImage(4, 4, 9).at<cv::Vec3b>(3, 3));
}

}  // namespace
}  // namespace dofmap
