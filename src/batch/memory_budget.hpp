// The memory of the batch: what a photo is estimated to take, the budget the jobs share (photos are
// admitted to work only while their estimates fit) and its default size.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace dofmap {
struct PhotoFile;
}

namespace dofmap::batch {

struct Options;

// The memory the photos in flight may take by default: what the system and the control group have
// available at start, less a margin for the program and the rest of the system.
std::int64_t defaultMemoryBudget();

// The bytes a photo will take at its peak, from its file and the size its header declares, in a
// job whose maps come from one scan of the photo or from two.
std::int64_t photoMemory(const PhotoFile& file, const Options& options, bool oneScanMaps = false);

// Whether the jobs of a batch of `photos` photos run by `jobs` threads render their maps from one
// scan of each photo: only when each job has many photos, since the table of means that a map from
// one scan keeps is fresh memory to touch.
bool mapsFromOneScan(std::size_t photos, int jobs);

// A budget of bytes that jobs reserve from and give back to.
class MemoryBudget {
public:
    explicit MemoryBudget(std::int64_t bytes) : total_(bytes) { }

    std::int64_t total() const { return total_; }

    // Bytes taken from the budget for as long as it lives.
    class Reservation {
    public:
        Reservation(MemoryBudget& budget, std::int64_t bytes);
        ~Reservation();
        Reservation(const Reservation&) = delete;
        Reservation& operator=(const Reservation&) = delete;

    private:
        MemoryBudget& budget_;
        const std::int64_t bytes_;
    };

    // Bytes a job keeps reserved from photo to photo for the buffers it reuses, changed as they
    // change; given back on destruction.
    class Holding {
    public:
        explicit Holding(MemoryBudget& budget) : budget_(budget) { }
        ~Holding();
        Holding(const Holding&) = delete;
        Holding& operator=(const Holding&) = delete;

        // Holds `bytes` (at most total()) from now on: less is given back at once, more is taken,
        // when it fits beside the bytes reserved by others. Returns false, changing nothing, when it
        // does not fit.
        bool change(std::int64_t bytes);
        // The same, waiting for more to fit; only while holding nothing, so that no two jobs wait
        // on each other's holdings.
        void wait(std::int64_t bytes);
        std::int64_t bytes() const { return bytes_; }
        MemoryBudget& budget() const { return budget_; }

    private:
        MemoryBudget& budget_;
        std::int64_t bytes_ = 0;
    };

private:
    friend class Reservation;
    friend class Holding;
    // Waits until `bytes` (at most total()) fit beside the bytes reserved, then reserves them.
    void take(std::int64_t bytes);
    // Reserves `bytes` if they fit beside the bytes reserved now.
    bool tryTake(std::int64_t bytes);
    void give(std::int64_t bytes);

    const std::int64_t total_;
    std::int64_t reserved_ = 0;
    std::mutex mutex_;
    std::condition_variable released_;
};

}  // namespace dofmap::batch
