// Figures for judging a photo's sharpness that mean the same in every photo: its noise, its largest
// mean with the noise taken out, a sharpness free of contrast and exposure, and a figure of
// directional (motion) blur. Computed beside the map from the photo and its blurred reference.
#pragma once

#include "focus_map.hpp"

#include <opencv2/core.hpp>

#include <atomic>

namespace dofmap {

// How many times the noise sigma the largest mean of pure noise is. A photo of pure Gaussian noise
// of sigma s in each channel differs from its blur (sigma 1.5) by s * sqrt(1 - 2 g0 + sum g^2) =
// 0.946 s in each channel (g the blur's kernel, g0 its center), so by a color distance of 1.60 *
// 0.946 s = 1.51 s on average (the mean of a chi distribution of three degrees of freedom); the
// neighborhood means of 900 such distances scatter by a few hundredths of s, and the largest of a
// photo's thousands of neighborhoods lies about 0.1 s above their average. Measured on flat gray
// photos with added noise: 1.58 s at 0.6 megapixels, 1.60 s at 24 (see the tests and README).
constexpr double kNoiseMaxMean = 1.64;

// The side of the square tiles over which the sharpest regions are found.
constexpr int kCullTile = 32;

// The figures of cullFigures. Each is 0 for a photo too small to hold the 3 x 3 neighborhoods the
// figures are made of (fewer than 3 rows or columns), and for a flat photo.
struct CullFigures {
    // The noise: the standard deviation of the photo's noise in each channel, in 8-bit levels,
    // estimated after Immerkaer (the mean absolute response to the 3 x 3 mask [1 -2 1; -2 4 -2; 1 -2 1],
    // which cancels every plane and leaves 6 s of Gaussian noise of sigma s), over the pixels whose
    // own gradient is among the smallest: the flattest parts of the photo, where the photo's own
    // detail leaks least into the mask. An odd and an even mask of pure noise are independent, so
    // choosing the pixels by their gradient leaves the noise's response unbiased. Pixels at 0 or
    // 255 (clipped, so without noise) are left out. Within about 10 % of added Gaussian noise of
    // sigma 2 to 20; about 1 or less on a clean photo (the rounding to 8 bits alone is 0.29).
    double noise = 0.0;
    // The largest mean with the noise taken out: sqrt(max(0, maxMean^2 - (kNoiseMaxMean * noise)^2)),
    // in units of color distance. Noise and detail add in quadrature; pure noise of sigma s has a
    // largest mean of about kNoiseMaxMean * s.
    double correctedMaxMean = 0.0;
    // A sharpness free of contrast and exposure: over the sharpest tiles (the 2 % of kCullTile tiles
    // that differ most from the blurred reference, at least 4), the root mean square difference of
    // the gray photo (the channels' sum) from the blurred reference over that from a blur 8/3 as
    // wide (sigma 4 for the reference's 1.5), each with the noise's expected share taken out. A
    // photo multiplied by c has both differences c times, so the ratio stays. Dimensionless; on
    // the bundled photo 0.56 sharp, 0.31 blurred by a Gaussian of sigma 1.5, 0.18 of sigma 3, 0.37
    // defocused by a disc of radius 2; fine texture at the scale of single pixels reaches 0.8 to 1
    // (pure noise alone, which the correction takes out, would be 1); 0 for a flat photo.
    double detailRatio = 0.0;
    // Directional blur, in pixels: the blur of the photo along its least sharp direction less that
    // along its sharpest, each as the sigma of a Gaussian. Over the sharpest 30 % of the tiles, the
    // gradients of the gray photo and of its blur 8/3 as wide as the reference are summed as
    // structure tensors; along each direction, the share of the gradient energy that the wider
    // blur keeps tells the blur already there (an edge blurred by s keeps s / sqrt(s^2 + w^2) of
    // it under a further blur w). Blur along one line (camera or subject motion) leaves the edges
    // across the motion smooth and those along it sharp: 0.5 px on the bundled photo for a motion
    // of 7 px, 1.2 to 1.4 for 15 px, 1.7 to 2 for 21. A sharp photo has every direction equally
    // sharp whatever the directions of its own lines, since each direction is compared with
    // itself (stripes and buildings are sharp across their lines, and directions without detail
    // count as the average): 0.00 to 0.1. A blur alike in every direction (defocus) is low too, up
    // to 0.15 at Gaussian sigma 3. The expected energy of the noise is taken out first. A photo
    // without detail anywhere (a smooth gradient) has no meaningful direction and may read high.
    double motion = 0.0;
};

// The figures of `source` against `blurred`, its blurred reference of the given sigma (both CV_8UC3
// of one size, not empty), with `maxMean` its largest mean (FocusAnalysis::maxMean). Reads the
// photo and its reference once (the noise from the rows of a sample of about 260 000 pixels spread
// evenly over the photo, read as the pass goes), makes the wider blur from the photo binned 2 x 2
// and halved further by an image pyramid, and reads the sharpest 2 % of the tiles again; on all
// cores. When `cancel` is given and set meanwhile,
// throws AnalysisCancelled.
CullFigures cullFigures(const cv::Mat& source, const cv::Mat& blurred, double maxMean, double sigma = kBlurSigma,
                        const std::atomic<bool>* cancel = nullptr);

// The noise of cullFigures alone: the standard deviation of the photo's noise in each channel, in
// 8-bit levels (source CV_8UC3, not empty).
double noiseSigma(const cv::Mat& source);

}  // namespace dofmap
