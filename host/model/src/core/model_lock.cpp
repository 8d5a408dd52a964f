// The lock over the model's state on a free-running machine (see
// model_lock.h).
#include "core/model_lock.h"

#include <atomic>

namespace model {

namespace {

std::mutex TheLock;
// Written only while no lane runs (a machine being made); relaxed reads
// are ordered by the thread starts that follow.
std::atomic<bool> Enabled{false};
thread_local unsigned Depth = 0;

}  // namespace

void SetFreeRunning(bool enabled)
{
    Enabled.store(enabled, std::memory_order_relaxed);
}

bool FreeRunning()
{
    return Enabled.load(std::memory_order_relaxed);
}

KernelScope::KernelScope() : taken_(FreeRunning())
{
    if (taken_ && Depth++ == 0) {
        TheLock.lock();
    }
}

KernelScope::~KernelScope()
{
    if (taken_ && --Depth == 0) {
        TheLock.unlock();
    }
}

KernelLeave::KernelLeave() : depth_(Depth)
{
    if (depth_ > 0) {
        Depth = 0;
        TheLock.unlock();
    }
}

KernelLeave::~KernelLeave()
{
    if (depth_ > 0) {
        TheLock.lock();
        Depth = depth_;
    }
}

bool InKernelScope()
{
    return Depth > 0;
}

void WaitInKernel(std::condition_variable& changed, const std::function<bool()>& ready)
{
    std::unique_lock<std::mutex> lock(TheLock, std::adopt_lock);
    changed.wait(lock, ready);
    lock.release();
}

}  // namespace model
