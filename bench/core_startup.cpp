// The start-up floor of a program on OpenCV: one that links only opencv_core and opencv_imgproc,
// as the computation's library does, and prints OpenCV's version. The start-up benchmark compares
// `dofmap-batch --version` with it.
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>

int main()
{
    // One call into each library, so that both are loaded as the programs load them.
    const cv::Mat kernel = cv::getGaussianKernel(3, 0.0);
    return std::printf("OpenCV %s (%d taps)\n", CV_VERSION, kernel.rows) < 0 ? 1 : 0;
}
