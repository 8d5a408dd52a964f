// Host fibers on ucontext, with the switches told to the address sanitizer
// so that it follows the stack in use.
#include "processors/fiber.h"

#include <cstdio>
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#define VEK_FIBER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VEK_FIBER_ASAN 1
#endif
#endif

#ifdef VEK_FIBER_ASAN
#include <sanitizer/common_interface_defs.h>
#endif

namespace model {

namespace {

// Host frames of a lane: the engine's translated code, the kernel routines
// and their checks, under a sanitizer's redzones. Reserved, not committed,
// until touched.
constexpr size_t FiberStackSize = 1 << 20;

// The fiber being entered for the first time, for Start (makecontext passes
// only int arguments); and the one that switched to it.
Fiber* Starting = nullptr;
Fiber* SwitchedFrom = nullptr;

void BeginSwitch(void** fakeStack, const void* bottom, size_t size)
{
#ifdef VEK_FIBER_ASAN
    __sanitizer_start_switch_fiber(fakeStack, bottom, size);
#else
    (void)fakeStack, (void)bottom, (void)size;
#endif
}

void EndSwitch(void* fakeStack, const void** bottom, size_t* size)
{
#ifdef VEK_FIBER_ASAN
    __sanitizer_finish_switch_fiber(fakeStack, bottom, size);
#else
    (void)fakeStack, (void)bottom, (void)size;
#endif
}

}  // namespace

Fiber::Fiber(Entry entry, void* argument)
    : stack_(new char[FiberStackSize]),
      stackBottom_(stack_.get()),
      stackSize_(FiberStackSize),
      entry_(entry),
      argument_(argument)
{
    if (getcontext(&context_) != 0) {
        std::fprintf(stderr, "vekcrash: model: cannot make a processor fiber\n");
        std::abort();
    }
    context_.uc_stack.ss_sp = stack_.get();
    context_.uc_stack.ss_size = FiberStackSize;
    context_.uc_link = nullptr;
    makecontext(&context_, &Fiber::Start, 0);
}

Fiber::~Fiber() = default;

void Fiber::Start()
{
    Fiber* self = Starting;
    self->Arrived();
    self->entry_(self->argument_);
    std::fprintf(stderr, "vekcrash: model: a processor fiber returned from its entry\n");
    std::abort();
}

void Fiber::Arrived()
{
    const void* bottom = nullptr;
    size_t size = 0;
    EndSwitch(nullptr, &bottom, &size);
    // The thread's own stack is known only from here.
    if (SwitchedFrom != nullptr && SwitchedFrom->stackBottom_ == nullptr) {
        SwitchedFrom->stackBottom_ = bottom;
        SwitchedFrom->stackSize_ = size;
    }
}

void Fiber::SwitchTo(Fiber& next)
{
    if (&next == this) {
        return;
    }
    void* fakeStack = nullptr;
    SwitchedFrom = this;
    Starting = &next;
    BeginSwitch(&fakeStack, next.stackBottom_, next.stackSize_);
    swapcontext(&context_, &next.context_);
    const void* bottom = nullptr;
    size_t size = 0;
    EndSwitch(fakeStack, &bottom, &size);
    if (SwitchedFrom != nullptr && SwitchedFrom->stackBottom_ == nullptr) {
        SwitchedFrom->stackBottom_ = bottom;
        SwitchedFrom->stackSize_ = size;
    }
}

void Fiber::ExitTo(Fiber& next)
{
    ended_ = true;
    SwitchedFrom = this;
    Starting = &next;
    // No fake stack to keep: this fiber never runs again.
    BeginSwitch(nullptr, next.stackBottom_, next.stackSize_);
    setcontext(&next.context_);
    std::fprintf(stderr, "vekcrash: model: cannot leave a processor fiber\n");
    std::abort();
}

}  // namespace model
