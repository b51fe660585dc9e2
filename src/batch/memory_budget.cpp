// The memory the batch's jobs share: photos are admitted to work only while their estimates fit.
#include "memory_budget.hpp"

#include <algorithm>

namespace dofmap::batch {

MemoryBudget::Reservation::Reservation(MemoryBudget& budget, std::int64_t bytes)
    : budget_(budget),
      bytes_(std::min(bytes, budget.total()))
{
    budget_.take(bytes_);
}

MemoryBudget::Reservation::~Reservation()
{
    budget_.give(bytes_);
}

MemoryBudget::Holding::~Holding()
{
    budget_.give(bytes_);
}

bool MemoryBudget::Holding::change(std::int64_t bytes)
{
    bytes = std::min(bytes, budget_.total());
    if (bytes > bytes_ && !budget_.tryTake(bytes - bytes_)) return false;
    if (bytes < bytes_) budget_.give(bytes_ - bytes);
    bytes_ = bytes;
    return true;
}

void MemoryBudget::Holding::wait(std::int64_t bytes)
{
    change(0);
    bytes_ = std::min(bytes, budget_.total());
    budget_.take(bytes_);
}

bool MemoryBudget::tryTake(std::int64_t bytes)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (reserved_ + bytes > total_) return false;
    reserved_ += bytes;
    return true;
}

void MemoryBudget::take(std::int64_t bytes)
{
    std::unique_lock<std::mutex> lock(mutex_);
    // Every reservation fits the budget alone, and none waits while holding another: whoever waits
    // is admitted once enough others have finished.
    released_.wait(lock, [&] { return reserved_ + bytes <= total_; });
    reserved_ += bytes;
}

void MemoryBudget::give(std::int64_t bytes)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        reserved_ -= bytes;
    }
    released_.notify_all();
}

}  // namespace dofmap::batch
