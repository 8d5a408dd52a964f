// A host fiber: a stack of its own on the calling thread, entered and left
// only by explicit switches. The runner's virtual processors share one
// emulated processor, which must stay on one host thread; each processor's
// host frames (a DPC routine's call into the engine, the kernel routines it
// calls) live on a fiber of its own instead of a thread of its own.
#pragma once

#include <ucontext.h>

#include <cstddef>
#include <memory>

namespace model {

class Fiber {
public:
    using Entry = void (*)(void* argument);

    // The thread's own context: no stack of its own, never ends.
    Fiber() = default;
    // A fiber that starts at entry(argument) when first switched to. The
    // entry must never return: it ends with ExitTo.
    Fiber(Entry entry, void* argument);
    ~Fiber();
    Fiber(const Fiber&) = delete;
    Fiber& operator=(const Fiber&) = delete;

    // Switches from this fiber, which must be the one running, to next;
    // returns when some fiber switches back to this one.
    void SwitchTo(Fiber& next);
    // Ends this fiber, which must be the one running, for good: its stack
    // may be freed once next runs.
    [[noreturn]] void ExitTo(Fiber& next);

    bool Ended() const { return ended_; }

private:
    static void Start();
    void Arrived();

    ucontext_t context_{};
    std::unique_ptr<char[]> stack_;
    // The stack's extent, for the address sanitizer; for the thread's own
    // context, learnt the first time another fiber starts.
    const void* stackBottom_ = nullptr;
    size_t stackSize_ = 0;
    Entry entry_ = nullptr;
    void* argument_ = nullptr;
    bool ended_ = false;
};

}  // namespace model
