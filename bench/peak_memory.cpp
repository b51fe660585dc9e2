// Peak resident memory of one headless run, or of the work every run does anyway, on one photo.
//
// Usage: peak_memory make-large DEMO_PHOTO OUT.jpg   writes the 24-megapixel test photo
//        peak_memory run|baseline PHOTO OUTPUT_DIR    prints "<mode> peak_rss_mib <value>"
// Each measurement needs a process of its own: the peak is the process's high-water mark.
#include "workloads.hpp"

#include <sys/resource.h>

#include <cstdio>
#include <exception>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: peak_memory make-large|run|baseline PHOTO OUTPUT\n");
        return 2;
    }
    const std::string mode = argv[1];
    try {
        if (mode == "make-large") return cv::imwrite(argv[3], dofmap::bench::largePhoto(argv[2])) ? 0 : 1;
        if (mode == "run")
            dofmap::bench::wholeRun(argv[2], argv[3]);
        else if (mode == "baseline")
            dofmap::bench::decodeBlurEncode(argv[2], argv[3]);
        else
            return 2;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "peak_memory: %s\n", error.what());
        return 1;
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%s peak_rss_mib %.1f\n", mode.c_str(), double(usage.ru_maxrss) / 1024.0);
    return 0;
}
