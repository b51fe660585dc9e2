// A user's program on the installed headers and libraries: the map of a photo, written as PNG, and
// its largest mean on standard output.
#include <dofmap/focus_map.hpp>
#include <dofmap/image_io.hpp>

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: dofmap_consumer PHOTO MAP.png\n");
        return 2;
    }
    const dofmap::IoResult<cv::Mat> read = dofmap::readColorImage(argv[1]);
    if (!read) {
        std::fprintf(stderr, "cannot read image %s: %s\n", argv[1], read.message().c_str());
        return 1;
    }
    const cv::Mat& photo = read.value();
    const dofmap::DofMap result = dofmap::computeDofMap(photo, dofmap::blurredReference(photo), dofmap::kWindow, 1);
    const dofmap::IoStatus written = dofmap::writeImage(argv[2], result.map);
    if (!written) {
        std::fprintf(stderr, "cannot write %s: %s\n", argv[2], written.message().c_str());
        return 1;
    }
    std::printf("%.17g\n", result.maxMean);
    return 0;
}
