// The analyzer of one photograph: shows it, makes and saves its blurred reference and its DoF map.
#pragma once

#include "display.hpp"

#include <opencv2/core.hpp>
#include <opencv2/core/core_c.h>

#include <memory>
#include <string>

namespace dofmap {

// Fixed locations of the interactive program, relative to its working directory.
inline const std::string kInputPath = "img/what-is-depth-of-field-1000x605.jpg";
inline const std::string kBlurPath = "save/Blur.jpg";
inline const std::string kDofPath = "save/DoF.jpg";

// Holds the three images of one analysis and drives it. Windows go to the Display given at
// construction; files go to kBlurPath and kDofPath. A save that fails is reported on stderr
// (`<program>: cannot write <path>: <reason>`) and remembered, and the analysis goes on.
class FocusAnalyzer {
public:
    // Takes `image` (CV_8UC3, not empty) as the source and shows it in the window "Original".
    // The analyzer shares the image's pixels and never writes them. `display` and `program`
    // must outlive the analyzer.
    FocusAnalyzer(const cv::Mat& image, Display& display, const std::string& program);

    // Makes the blurred reference, shows it in "Blur" and saves it to kBlurPath.
    void blur();

    // Calls blur(), then makes the DoF map, shows it in "DoF" and saves it to kDofPath.
    void computeDof();

    // True when every save so far has written its file.
    bool allSaved() const { return allSaved_; }

    cv::Mat source;  // the photograph
    cv::Mat blurred;  // the blurred reference; empty until blur() runs
    cv::Mat dofMap;  // the DoF map, three equal channels; empty until computeDof() runs

private:
    void save(const std::string& path, const cv::Mat& image);

    Display& display_;
    const std::string& program_;
    bool allSaved_ = true;
};

// A matrix viewing the pixels of a legacy image: nothing is copied and the matrix owns nothing,
// so `image` must outlive it.
cv::Mat iplToMat(const IplImage* image);

// A legacy image header viewing the pixels of `matrix`: nothing is copied, the caller owns the
// header, and `matrix` (or another owner of its pixels) must outlive it.
std::unique_ptr<IplImage> matToIpl(const cv::Mat& matrix);

}  // namespace dofmap
