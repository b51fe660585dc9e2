// Allocation of the large images of the pipeline in transparent huge pages.
#include "image_allocator.hpp"

#include <sys/mman.h>

#include <cstdlib>

namespace dofmap::detail {
namespace {

// OpenCV's allocator interface, placing large buffers on huge-page boundaries and asking the
// system to back them with huge pages; small ones go to OpenCV's own allocator.
class LargeImageAllocator final : public cv::MatAllocator {
public:
    cv::UMatData* allocate(int dims, const int* sizes, int type, void* data, size_t* step, cv::AccessFlag flags,
                           cv::UMatUsageFlags usage) const override
    {
        const cv::MatAllocator* standard = cv::Mat::getStdAllocator();
        if (data != nullptr) return standard->allocate(dims, sizes, type, data, step, flags, usage);
        size_t total = CV_ELEM_SIZE(type);
        for (int i = 0; i < dims; ++i) total *= size_t(sizes[i]);
        if (total < kHugePage) return standard->allocate(dims, sizes, type, data, step, flags, usage);

        for (int i = dims - 1; i >= 0; --i)
            step[i] = i == dims - 1 ? CV_ELEM_SIZE(type) : step[i + 1] * size_t(sizes[i + 1]);

        const size_t rounded = (total + kHugePage - 1) / kHugePage * kHugePage;
        void* pixels = std::aligned_alloc(kHugePage, rounded);
        if (pixels == nullptr) CV_Error(cv::Error::StsNoMem, "cannot allocate an image");
        ::madvise(pixels, rounded, MADV_HUGEPAGE);  // a hint: without huge pages it works as usual
        auto* u = new cv::UMatData(this);  // owned and deleted by OpenCV's reference counting
        u->data = u->origdata = static_cast<uchar*>(pixels);
        u->size = total;
        return u;
    }

    bool allocate(cv::UMatData* data, cv::AccessFlag, cv::UMatUsageFlags) const override { return data != nullptr; }

    void deallocate(cv::UMatData* data) const override
    {
        if (data == nullptr) return;
        std::free(data->origdata);
        delete data;
    }

private:
    // The size of a transparent huge page on x86-64.
    static constexpr size_t kHugePage = size_t(2) << 20;
};

}  // namespace

cv::Mat largeImage(cv::Size size, int type)
{
    // Never destroyed: images held in static objects may be released after static destruction.
    static LargeImageAllocator* const allocator = new LargeImageAllocator();
    cv::Mat image;
    image.allocator = allocator;
    image.create(size, type);
    return image;
}

}  // namespace dofmap::detail
