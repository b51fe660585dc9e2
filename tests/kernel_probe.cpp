// A child process for the row-kernel tests: prints the instruction set whose kernels run and
// digests of what the analysis makes of a fixed synthetic photo through every kind of scan. OpenCV
// reads OPENCV_CPU_DISABLE only when a process starts, so the dispatch under it is tried here.
#include "focus_map.hpp"
#include "images.hpp"
#include "row_kernels.hpp"

#include <opencv2/imgproc.hpp>

#include <cstdint>
#include <cstdio>

namespace {

using dofmap::kernels::InstructionSet;

// FNV-1a of the bytes of a continuous image.
std::uint64_t digest(const cv::Mat& image)
{
    std::uint64_t hash = 14695981039346656037ull;
    const std::size_t size = image.total() * image.elemSize();
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ image.data[i]) * 1099511628211ull;
    return hash;
}

}  // namespace

int main()
{
    // A smooth photo with fine noise and an odd width, so that rows end off every vector width.
    cv::Mat source;
    cv::resize(dofmap::testing::randomImage(9, 7, 3), source, cv::Size(1013, 301), 0, 0, cv::INTER_CUBIC);
    source += dofmap::testing::randomImage(source.cols, source.rows, 4) / 16;
    const cv::Mat blurred = dofmap::blurredReference(source);

    // Two scans of a three-channel map with the statistics, one scan of a one-channel map, and the
    // fixed-point scan of a wide window.
    dofmap::FocusRequest twoScans;
    twoScans.statistics = true;
    const dofmap::FocusAnalysis full = dofmap::analyzeFocus(source, blurred, dofmap::kWindow, twoScans);
    dofmap::FocusRequest oneScan;
    oneScan.mapChannels = 1;
    oneScan.oneScan = true;
    const dofmap::FocusAnalysis single = dofmap::analyzeFocus(source, blurred, dofmap::kWindow, oneScan);
    const dofmap::DofMap wide = dofmap::computeDofMap(source, blurred, 301);

    std::printf("%s map %016llx max %a average %a p90 %a one-scan %016llx wide %016llx %a\n",
                dofmap::kernels::instructionSetName(dofmap::kernels::activeInstructionSet()),
                (unsigned long long)digest(full.map), full.statistics.maxMean, full.statistics.meanMean,
                full.statistics.p90Mean, (unsigned long long)digest(single.map), (unsigned long long)digest(wide.map),
                wide.maxMean);
    return 0;
}
