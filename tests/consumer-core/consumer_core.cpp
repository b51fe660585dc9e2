// A user's program on the installed computation alone, without the readers: the map of a picture
// made in memory (a sharp half beside a flat one), its largest mean on standard output.
#include <dofmap/focus_map.hpp>

#include <opencv2/core.hpp>

#include <cstdio>

int main()
{
    cv::Mat photo(120, 160, CV_8UC3, cv::Scalar::all(128));
    cv::RNG noise(7);
    noise.fill(photo.colRange(0, 80), cv::RNG::UNIFORM, cv::Scalar::all(0), cv::Scalar::all(256));
    const dofmap::DofMap result = dofmap::computeDofMap(photo, dofmap::blurredReference(photo));
    // The sharp half holds the largest means, so its map is brighter than the flat half's.
    const double sharp = cv::mean(result.map.colRange(0, 40))[0];
    const double flat = cv::mean(result.map.colRange(120, 160))[0];
    if (result.map.size() != photo.size() || !(result.maxMean > 0) || !(sharp > flat)) {
        std::fprintf(stderr, "unexpected map: max mean %g, sharp side %g, flat side %g\n", result.maxMean, sharp, flat);
        return 1;
    }
    std::printf("%.17g\n", result.maxMean);
    return 0;
}
