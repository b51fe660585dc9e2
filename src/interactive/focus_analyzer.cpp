// The analyzer of one photograph: shows it, makes and saves its blurred reference and its DoF map.
#include "focus_analyzer.hpp"

#include "focus_map.hpp"
#include "image_io.hpp"
#include "messages.hpp"

namespace dofmap {

FocusAnalyzer::FocusAnalyzer(const cv::Mat& image, Display& display, const std::string& program)
    : source(image),
      display_(display),
      program_(program)
{
    display_.show("Original", source);
}

void FocusAnalyzer::blur()
{
    blurred = blurredReference(source);
    display_.show("Blur", blurred);
    save(kBlurPath, blurred);
}

void FocusAnalyzer::computeDof()
{
    blur();
    dofMap = computeDofMap(source, blurred).map;
    display_.show("DoF", dofMap);
    save(kDofPath, dofMap);
}

void FocusAnalyzer::save(const std::string& path, const cv::Mat& image)
{
    const IoStatus written = writeImage(path, image);
    if (written) return;
    reportLine(program_ + ": cannot write " + printable(path) + ": " + written.message());
    allSaved_ = false;
}

cv::Mat iplToMat(const IplImage* image)
{
    return cv::cvarrToMat(image, false, true, 0);
}

std::unique_ptr<IplImage> matToIpl(const cv::Mat& matrix)
{
    return std::make_unique<IplImage>(cvIplImage(matrix));
}

}  // namespace dofmap
