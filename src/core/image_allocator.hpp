// Allocation of the large images of the pipeline in transparent huge pages.
#pragma once

#include <opencv2/core.hpp>

namespace dofmap::detail {

// An uninitialized image of the given size and type. Images of 2 MiB and more are placed in
// transparent huge pages where the system offers them on request: a fresh multi-megapixel image
// otherwise costs one page fault per 4 KiB, which takes longer than computing the map. Throws
// cv::Exception (StsNoMem) when the memory cannot be had.
cv::Mat largeImage(cv::Size size, int type);

}  // namespace dofmap::detail
