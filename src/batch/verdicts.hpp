// Judging photos by their sharpest neighborhood: the threshold as given, and as it comes out of the
// batch's own figures.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace dofmap::batch {

// A threshold on a photo's largest mean: an absolute figure (in units of color distance), or a
// share of the median of the batch's largest means.
struct Threshold {
    double value = 0.0;  // the figure, or the percentage
    bool percentOfMedian = false;
};

// "12.5" or "40%": a finite number from 0, with a percent sign for a share of the median. Nullopt
// for anything else.
std::optional<Threshold> parseThreshold(const std::string& text);

// The median of `values` (not empty): the middle one, or the mean of the two middle ones.
double median(std::vector<double> values);

// The absolute figure of `threshold` for a batch whose photos have the largest means `maxMeans`;
// nullopt when it is a share of the median and no photo was figured.
std::optional<double> absoluteThreshold(const Threshold& threshold, const std::vector<double>& maxMeans);

// A photo is blurry when even its sharpest neighborhood is below the threshold: a sharp subject on
// a soft background passes.
inline bool isBlurry(double maxMean, double threshold)
{
    return maxMean < threshold;
}

}  // namespace dofmap::batch
