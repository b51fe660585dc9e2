// The memory the batch's jobs share: photos are admitted to work only while their estimates fit.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace dofmap::batch {

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

private:
    friend class Reservation;
    // Waits until `bytes` (at most total()) fit beside the bytes reserved, then reserves them.
    void take(std::int64_t bytes);
    void give(std::int64_t bytes);

    const std::int64_t total_;
    std::int64_t reserved_ = 0;
    std::mutex mutex_;
    std::condition_variable released_;
};

}  // namespace dofmap::batch
