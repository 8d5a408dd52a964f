// Virtual processors of the host build (see scheduler.h for the design).
#include "processors/scheduler.h"

#include "processors/fiber.h"
#include "core/model_lock.h"

#include "model/address_space.h"
#include "model/kernel_memory.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

namespace model {

namespace {

constexpr int MainLane = -1;

struct Worker {
    std::thread Thread;
    std::deque<ProcessorWork> Work;  // kernel work queued to the processor
    const char* Doing = nullptr;     // the work running now, if any
    std::unique_ptr<Fiber> Lane;  // instead of the thread, on fiber lanes
    bool Active = false;  // inside a DPC routine, or about to start one
    bool Spinning = false;
};

struct Scheduler {
    std::mutex Mutex;
    std::condition_variable Changed;
    int Turn = MainLane;
    // Atomic for the free-running PAUSE, which looks without the lock.
    std::atomic<bool> Abandon{false};
    // The main lane is inside a call from the kernel, on this processor.
    bool MainActive = false;
    bool MainSpinning = false;
    unsigned MainProcessor = 0;
    const char* MainWhat = "";
    std::vector<std::unique_ptr<Worker>> Workers;
    // Fiber lanes (the runner): the hooks as the machine's first call found
    // them, and the calling thread's own context, the main lane's.
    bool Fibers = false;
    ProcessorLaneHooks Hooks;
    Fiber MainFiber;
    std::mt19937_64 Random;
    uint64_t PausesWithoutProgress = 0;
    // Turns passed on by the scheduler itself since driver code last
    // reached a switch point or a lane started work: past a bound, the
    // lanes only hand the turn around.
    uint64_t HandOversWithoutCode = 0;
    // Free-running: PAUSEs per lane (the main lane first) since a DPC last
    // started or finished, and whether DPCs wait for the main lane's
    // processor. Relaxed atomics, which order nothing for ThreadSanitizer.
    std::unique_ptr<std::atomic<uint64_t>[]> LaneSpins;
    std::atomic<bool> MainHasDpcs{false};

    std::atomic<uint64_t>& Spins(int lane) const { return LaneSpins[static_cast<size_t>(lane + 1)]; }
};

// One scheduler per machine; made on first use, gone with the machine.
Scheduler* TheScheduler = nullptr;
const ProcessorLaneHooks* FiberHooks = nullptr;

Scheduler& Sched()
{
    if (TheScheduler == nullptr) {
        TheScheduler = new Scheduler();
        TheScheduler->Fibers = FiberHooks != nullptr;
        if (FiberHooks != nullptr) {
            TheScheduler->Hooks = *FiberHooks;
        }
        TheScheduler->Random.seed(State().Config.Seed);
        TheScheduler->Workers.resize(State().Processors.size());
        TheScheduler->LaneSpins.reset(new std::atomic<uint64_t>[State().Processors.size() + 1]());
    }
    return *TheScheduler;
}

thread_local int ThisLane = MainLane;

bool HasDpcs(unsigned processor)
{
    return !State().Processors[processor].Dpcs.empty();
}

// DPCs or kernel work waiting for the processor.
bool HasWork(const Scheduler& scheduler, unsigned processor)
{
    const Worker* worker = scheduler.Workers[processor].get();
    return HasDpcs(processor) || (worker != nullptr && !worker->Work.empty());
}

bool LaneActive(const Scheduler& scheduler, int lane)
{
    if (lane == MainLane) {
        return scheduler.MainActive;
    }
    const Worker* worker = scheduler.Workers[static_cast<size_t>(lane)].get();
    return worker != nullptr && worker->Active;
}

// The lanes that could run next: every lane inside driver code, and every
// processor with DPCs waiting and no lane on it yet.
std::vector<int> Candidates(const Scheduler& scheduler)
{
    std::vector<int> lanes;
    if (scheduler.MainActive) {
        lanes.push_back(MainLane);
    }
    for (size_t p = 0; p < scheduler.Workers.size(); ++p) {
        bool occupied = scheduler.MainActive && scheduler.MainProcessor == p;
        if (LaneActive(scheduler, static_cast<int>(p)) ||
            (!occupied && HasWork(scheduler, static_cast<unsigned>(p)))) {
            lanes.push_back(static_cast<int>(p));
        }
    }
    return lanes;
}

unsigned LaneProcessor(const Scheduler& scheduler, int lane)
{
    return lane == MainLane ? scheduler.MainProcessor : static_cast<unsigned>(lane);
}

void WorkerMain(unsigned processor);
void FiberWorkerMain(void* processor);

unsigned HookLane(int lane)
{
    return static_cast<unsigned>(lane + 1);
}

Fiber& LaneFiber(Scheduler& scheduler, int lane)
{
    return lane == MainLane ? scheduler.MainFiber : *scheduler.Workers[static_cast<size_t>(lane)]->Lane;
}

// The lanes pass the turn around and none runs driver code: a fault of
// the scheduler, not of the driver. The run ends with one line and the
// tool's own failure status, whatever state the lanes are in.
[[noreturn]] void SchedulerDeadlocked(const Scheduler& scheduler);

// Turns the scheduler may pass on with no driver code run in between.
constexpr uint64_t MaxHandOversWithoutCode = 1000000;

void CountHandOver(Scheduler& scheduler)
{
    if (++scheduler.HandOversWithoutCode > MaxHandOversWithoutCode) {
        SchedulerDeadlocked(scheduler);
    }
}

// Runs another fiber lane until some lane switches back to this one.
void SwitchLane(Scheduler& scheduler, int next)
{
    int self = ThisLane;
    if (next == self) {
        return;
    }
    scheduler.Hooks.Leaving(HookLane(self), scheduler.Hooks.Context);
    LaneFiber(scheduler, self).SwitchTo(LaneFiber(scheduler, next));
    ThisLane = self;
    scheduler.Hooks.Entering(HookLane(self), scheduler.Hooks.Context);
}

// On an abandoned machine, lets every fiber lane that is still inside
// driver work unwind its host frames and end. From the main lane only.
void UnwindFiberLanes(Scheduler& scheduler)
{
    for (std::unique_ptr<Worker>& worker : scheduler.Workers) {
        if (worker != nullptr && worker->Lane != nullptr && !worker->Lane->Ended()) {
            scheduler.Turn = static_cast<int>(&worker - scheduler.Workers.data());
            SwitchLane(scheduler, scheduler.Turn);
        }
    }
    scheduler.Turn = MainLane;
}

void FiberHandOver(Scheduler& scheduler, int next)
{
    if (next != MainLane) {
        std::unique_ptr<Worker>& worker = scheduler.Workers[static_cast<size_t>(next)];
        if (worker == nullptr) {
            worker = std::make_unique<Worker>();
        }
        worker->Active = true;
        if (worker->Lane == nullptr) {
            worker->Lane = std::make_unique<Fiber>(
                FiberWorkerMain, reinterpret_cast<void*>(static_cast<uintptr_t>(next)));
        }
    }
    int self = ThisLane;
    scheduler.Turn = next;
    SwitchLane(scheduler, next);
    if (scheduler.Abandon) {
        if (self == MainLane) {
            UnwindFiberLanes(scheduler);
        }
        throw LaneAbandoned{};
    }
    State().Current = LaneProcessor(scheduler, self);
}

// Gives the turn to a lane (starting its worker when it has none yet) and,
// unless the caller is done, waits for the turn to come back.
void HandOver(Scheduler& scheduler, int next, bool waitForTurn)
{
    CountHandOver(scheduler);
    if (scheduler.Fibers) {
        FiberHandOver(scheduler, next);
        return;
    }
    std::unique_lock<std::mutex> lock(scheduler.Mutex);
    if (next != MainLane) {
        std::unique_ptr<Worker>& worker = scheduler.Workers[static_cast<size_t>(next)];
        if (worker == nullptr) {
            worker = std::make_unique<Worker>();
        }
        worker->Active = true;
        if (!worker->Thread.joinable()) {
            worker->Thread = std::thread(WorkerMain, static_cast<unsigned>(next));
        }
    }
    scheduler.Turn = next;
    scheduler.Changed.notify_all();
    if (!waitForTurn) {
        return;
    }
    int self = ThisLane;
    scheduler.Changed.wait(lock, [&] { return scheduler.Turn == self || scheduler.Abandon; });
    if (scheduler.Abandon) {
        throw LaneAbandoned{};
    }
    State().Current = LaneProcessor(scheduler, self);
}

std::string WhereEachProcessorWas(const Scheduler& scheduler)
{
    std::string text;
    for (size_t p = 0; p < scheduler.Workers.size(); ++p) {
        const char* where = "idle";
        if (scheduler.MainActive && scheduler.MainProcessor == p) {
            where = scheduler.MainSpinning ? "spinning" : "running";
            text += (text.empty() ? "" : "; ") + std::string("processor ") + std::to_string(p) +
                    " in " + scheduler.MainWhat + ", " + where;
            continue;
        }
        const Worker* worker = scheduler.Workers[p].get();
        std::string doing;
        if (worker != nullptr && worker->Active) {
            doing = std::string("in ") + (worker->Doing != nullptr ? worker->Doing : "a DPC routine") +
                    (worker->Spinning ? ", spinning" : ", running");
            where = doing.c_str();
        } else if (HasWork(scheduler, static_cast<unsigned>(p))) {
            where = "with DPCs waiting";
        }
        text += (text.empty() ? "" : "; ") + std::string("processor ") + std::to_string(p) + " " +
                where;
    }
    return text;
}

void SchedulerDeadlocked(const Scheduler& scheduler)
{
    ToolFailure("the processor scheduler deadlocked: its lanes pass the turn around and none "
                "runs (" + WhereEachProcessorWas(scheduler) + ")");
}

void Progress(Scheduler& scheduler)
{
    scheduler.PausesWithoutProgress = 0;
    scheduler.HandOversWithoutCode = 0;
    for (int lane = MainLane; lane < static_cast<int>(scheduler.Workers.size()); ++lane) {
        scheduler.Spins(lane).store(0, std::memory_order_relaxed);
    }
}

// Runs one DPC on the current processor at DISPATCH_LEVEL. The object is
// no longer queued once its routine has started.
void RunDpc(PKDPC dpc)
{
    MachineState& s = State();
    // The object is the driver's memory: freed while queued, it is gone.
    if (FirstInvalid(reinterpret_cast<uintptr_t>(dpc), sizeof(*dpc), MemoryAccess::Write)) {
        Violation("a queued DPC at %s is no longer valid memory",
                  Hex(reinterpret_cast<uintptr_t>(dpc)).c_str());
        return;
    }
    dpc->DpcData = nullptr;
    Progress(Sched());
    CallDriver(reinterpret_cast<const void*>(dpc->DeferredRoutine),
               {reinterpret_cast<uintptr_t>(dpc), reinterpret_cast<uintptr_t>(dpc->DeferredContext),
                reinterpret_cast<uintptr_t>(dpc->SystemArgument1),
                reinterpret_cast<uintptr_t>(dpc->SystemArgument2)},
               s.Current, DISPATCH_LEVEL, "a DPC routine");
    Progress(Sched());
}

void RunQueue(unsigned processor)
{
    MachineState& s = State();
    while (!s.Stopped && !s.Processors[processor].Dpcs.empty()) {
        PKDPC dpc = s.Processors[processor].Dpcs.front();
        s.Processors[processor].Dpcs.pop_front();
        s.Current = processor;
        RunDpc(dpc);
    }
}

// A worker's turn: its processor's DPCs, then its kernel work, in order.
// Work that is taken is the lane's until it ends, also when it throws.
void RunLaneWork(Scheduler& scheduler, unsigned processor)
{
    MachineState& s = State();
    Worker& worker = *scheduler.Workers[processor];
    RunQueue(processor);
    while (!s.Stopped && !worker.Work.empty()) {
        ProcessorWork work = std::move(worker.Work.front());
        worker.Work.pop_front();
        struct Doing {
            Worker& Lane;
            ~Doing() { Lane.Doing = nullptr; }
        } doing{worker};
        worker.Doing = work.What;
        s.Current = processor;
        Progress(scheduler);
        work.Run();
        Progress(scheduler);
        RunQueue(processor);
    }
}

// Picks the next lane among those that can run; the caller's own lane is
// among them while it is still active.
int PickNext(Scheduler& scheduler)
{
    std::vector<int> lanes = Candidates(scheduler);
    if (lanes.empty()) {
        return MainLane;
    }
    if (lanes.size() == 1) {
        return lanes.front();
    }
    return lanes[scheduler.Random() % lanes.size()];
}

void WorkerMain(unsigned processor)
{
    Scheduler& scheduler = *TheScheduler;
    ThisLane = static_cast<int>(processor);
    {
        std::unique_lock<std::mutex> lock(scheduler.Mutex);
        scheduler.Changed.wait(lock, [&] { return scheduler.Turn == ThisLane || scheduler.Abandon; });
        if (scheduler.Abandon) {
            return;
        }
    }
    try {
        for (;;) {
            State().Current = processor;
            RunLaneWork(scheduler, processor);
            scheduler.Workers[processor]->Active = false;
            scheduler.Workers[processor]->Spinning = false;
            // Idle: hand the turn on and sleep until DPCs come again.
            HandOver(scheduler, PickNext(scheduler), true);
        }
    } catch (const LaneAbandoned&) {
    }
}

// A fiber lane: the same work as a worker thread's, ended by switching to
// the main lane for good once the machine is abandoned.
void FiberWorkerMain(void* argument)
{
    Scheduler& scheduler = *TheScheduler;
    auto processor = static_cast<unsigned>(reinterpret_cast<uintptr_t>(argument));
    ThisLane = static_cast<int>(processor);
    scheduler.Hooks.Entering(HookLane(ThisLane), scheduler.Hooks.Context);
    Worker& worker = *scheduler.Workers[processor];
    try {
        while (!scheduler.Abandon) {
            State().Current = processor;
            RunLaneWork(scheduler, processor);
            worker.Active = false;
            worker.Spinning = false;
            HandOver(scheduler, PickNext(scheduler), true);
        }
    } catch (const LaneAbandoned&) {
    }
    worker.Active = false;
    scheduler.Hooks.Leaving(HookLane(ThisLane), scheduler.Hooks.Context);
    ThisLane = MainLane;
    scheduler.Turn = MainLane;
    worker.Lane->ExitTo(scheduler.MainFiber);
}

// Runs the other lanes, under the baton, until none has anything left to
// do: the main lane is outside driver code and waits for them.
void RunOtherLanes(Scheduler& scheduler)
{
    MachineState& s = State();
    try {
        while (!s.Stopped && !s.InBugCheck) {
            std::vector<int> lanes = Candidates(scheduler);
            if (lanes.empty()) {
                break;
            }
            HandOver(scheduler, lanes[lanes.size() == 1 ? 0 : scheduler.Random() % lanes.size()],
                     true);
        }
    } catch (const LaneAbandoned&) {
        // The machine stopped while other processors ran; the kernel's
        // caller finds it stopped.
    }
}

void StopForDeadlock(Scheduler& scheduler)
{
    Violation("deadlock: every processor spins and none makes progress (%s)",
              WhereEachProcessorWas(scheduler).c_str());
    HaltMachine();
}

// Free-running lanes (MachineConfig::FreeRunning). Each processor with DPCs
// has its own worker thread that runs them as soon as they are queued, in
// parallel with the main lane and every other worker; there is no turn.
// Everything here runs under the model lock (model_lock.h), which
// CallDriver lets go of while driver code runs.

bool MainOccupies(const Scheduler& scheduler, unsigned processor)
{
    return scheduler.MainActive && scheduler.MainProcessor == processor;
}

void FreeWorkerMain(unsigned processor)
{
    Scheduler& scheduler = *TheScheduler;
    ThisLane = static_cast<int>(processor);
    KernelScope kernel;
    MachineState& s = State();
    s.Current = processor;
    Worker& worker = *scheduler.Workers[processor];
    try {
        for (;;) {
            // DPCs for the processor the main lane is on are its own to run.
            WaitInKernel(scheduler.Changed, [&] {
                return scheduler.Abandon ||
                       (!s.Stopped && HasWork(scheduler, processor) && !MainOccupies(scheduler, processor));
            });
            if (scheduler.Abandon) {
                return;
            }
            worker.Active = true;
            RunLaneWork(scheduler, processor);
            worker.Active = false;
            worker.Spinning = false;
            scheduler.Changed.notify_all();
        }
    } catch (const LaneAbandoned&) {
        worker.Active = false;
        scheduler.Changed.notify_all();
    }
}

// Whether every lane that could run only spins: each active lane has
// executed more PAUSEs than the limit since the last DPC progress, and no
// processor has DPCs that a lane could still start.
bool EveryLaneSpunOut(const Scheduler& scheduler, uint64_t limit)
{
    if (scheduler.MainActive && scheduler.Spins(MainLane).load(std::memory_order_relaxed) <= limit) {
        return false;
    }
    for (size_t p = 0; p < scheduler.Workers.size(); ++p) {
        if (LaneActive(scheduler, static_cast<int>(p))) {
            if (scheduler.Spins(static_cast<int>(p)).load(std::memory_order_relaxed) <= limit) {
                return false;
            }
        } else if (HasWork(scheduler, static_cast<unsigned>(p)) &&
                   !MainOccupies(scheduler, static_cast<unsigned>(p))) {
            return false;
        }
    }
    return true;
}

// A free-running PAUSE takes the model lock only every so many times, when
// its lane has spun past the limit, or when DPCs wait for the main lane:
// a lock taken at every PAUSE would order the driver's accesses on either
// side of its spin loops, and ThreadSanitizer would miss the races there.
constexpr unsigned LockedPauseEvery = 64;
thread_local unsigned PausesSinceLocked = 0;

bool QuietPause(const MachineState& s)
{
    Scheduler* scheduler = TheScheduler;  // made before any worker starts
    if (scheduler == nullptr) {
        return false;
    }
    uint64_t spins = scheduler->Spins(ThisLane).fetch_add(1, std::memory_order_relaxed) + 1;
    if (++PausesSinceLocked % LockedPauseEvery == 0 || spins > s.Config.SpinLimit ||
        scheduler->Abandon.load(std::memory_order_relaxed)) {
        return false;
    }
    return ThisLane != MainLane || !scheduler->MainHasDpcs.load(std::memory_order_relaxed);
}

void FreeSwitchPoint(SwitchReason reason)
{
    bool spinning = reason == SwitchReason::Pause;
    if (spinning && QuietPause(State())) {
        std::this_thread::yield();
        return;
    }
    {
        KernelScope kernel;
        MachineState& s = State();
        Scheduler& scheduler = Sched();
        if (s.InBugCheck) {
            return;
        }
        // A stopped machine makes no more progress: a spinning lane ends.
        if (scheduler.Abandon || (spinning && s.Stopped)) {
            throw LaneAbandoned{};
        }
        if (ThisLane == MainLane) {
            scheduler.MainSpinning = spinning;
        } else {
            scheduler.Workers[static_cast<size_t>(ThisLane)]->Spinning = spinning;
        }
        if (spinning && EveryLaneSpunOut(scheduler, s.Config.SpinLimit)) {
            StopForDeadlock(scheduler);
            scheduler.Abandon = true;
            scheduler.Changed.notify_all();
            throw LaneAbandoned{};
        }
        DeliverDpcs();
        if (ThisLane == MainLane) {
            scheduler.MainHasDpcs.store(HasDpcs(s.Current), std::memory_order_relaxed);
        }
    }
    if (spinning) {
        // The lane that is awaited may be waiting for this core.
        std::this_thread::yield();
    }
}

void FreeLeaveMainCall(Scheduler& scheduler)
{
    MachineState& s = State();
    scheduler.MainActive = false;
    scheduler.Changed.notify_all();
    // The kernel goes on once the other processors are idle: nothing of
    // the call's (its stack, its DPC objects) may be in use when it
    // returns. A stopped machine only waits for lanes to leave driver code.
    WaitInKernel(scheduler.Changed, [&] {
        bool idle = true;
        bool queued = false;
        for (size_t p = 0; p < scheduler.Workers.size(); ++p) {
            idle = idle && !LaneActive(scheduler, static_cast<int>(p));
            queued = queued || HasWork(scheduler, static_cast<unsigned>(p));
        }
        return idle && (s.Stopped || scheduler.Abandon || !queued);
    });
    s.Current = scheduler.MainProcessor;
}

}  // namespace

void DpcQueued(unsigned processor)
{
    if (!FreeRunning()) {
        return;  // under the baton the worker starts when it gets the turn
    }
    Scheduler& scheduler = Sched();
    std::unique_ptr<Worker>& worker = scheduler.Workers[processor];
    if (worker == nullptr) {
        worker = std::make_unique<Worker>();
    }
    if (!worker->Thread.joinable()) {
        worker->Thread = std::thread(FreeWorkerMain, processor);
    }
    if (MainOccupies(scheduler, processor)) {
        scheduler.MainHasDpcs.store(true, std::memory_order_relaxed);
    }
    scheduler.Changed.notify_all();
}

void UseFiberLanes(const ProcessorLaneHooks* hooks)
{
    FiberHooks = hooks;
    // Kernel work that ran before the emulated processor was in use (image
    // loads before the driver's own) made the machine's scheduler with
    // thread lanes. From here on every lane may run emulated code, which
    // only fiber lanes hand over: the idle worker threads end, the
    // generator carries on. Called from the main lane, outside driver code,
    // so no lane is active.
    Scheduler* scheduler = TheScheduler;
    if (hooks == nullptr || scheduler == nullptr || scheduler->Fibers) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(scheduler->Mutex);
        scheduler->Abandon = true;
        scheduler->Changed.notify_all();
    }
    for (std::unique_ptr<Worker>& worker : scheduler->Workers) {
        if (worker != nullptr && worker->Thread.joinable()) {
            worker->Thread.join();
        }
        worker.reset();
    }
    scheduler->Abandon = false;
    scheduler->Turn = MainLane;
    scheduler->Fibers = true;
    scheduler->Hooks = *hooks;
}

void WriteCr8WithoutDelivery(KIRQL irql)
{
    if (irql > HIGH_LEVEL) {
        ModelWriteCr8(irql);  // refused and named there
        return;
    }
    State().Processors[State().Current].Irql = irql;
}

void DeliverPendingDpcs()
{
    DeliverDpcs();
}

bool FiberLanesRequested()
{
    return FiberHooks != nullptr;
}

void YieldProcessor(ProcessorYield reason)
{
    SwitchPoint(reason == ProcessorYield::Pause ? SwitchReason::Pause : SwitchReason::Quantum);
}

void DeliverDpcs()
{
    MachineState& s = State();
    if (s.Stopped || s.InBugCheck || CurrentIrql() >= DISPATCH_LEVEL) {
        return;
    }
    unsigned processor = s.Current;
    RunQueue(processor);
    s.Current = processor;
}

void SwitchPoint(SwitchReason reason)
{
    if (FreeRunning()) {
        FreeSwitchPoint(reason);
        return;
    }
    MachineState& s = State();
    if (s.Stopped || s.InBugCheck) {
        return;
    }
    Scheduler& scheduler = Sched();
    scheduler.HandOversWithoutCode = 0;
    bool spinning = reason == SwitchReason::Pause;
    if (ThisLane == MainLane) {
        scheduler.MainSpinning = spinning;
    } else if (scheduler.Workers[static_cast<size_t>(ThisLane)] != nullptr) {
        scheduler.Workers[static_cast<size_t>(ThisLane)]->Spinning = spinning;
    }
    if (spinning && ++scheduler.PausesWithoutProgress > s.Config.SpinLimit) {
        StopForDeadlock(scheduler);
        {
            std::lock_guard<std::mutex> lock(scheduler.Mutex);
            scheduler.Abandon = true;
            scheduler.Changed.notify_all();
        }
        if (scheduler.Fibers && ThisLane == MainLane) {
            UnwindFiberLanes(scheduler);
        }
        throw LaneAbandoned{};
    }
    DeliverDpcs();
    if (s.Processors.size() < 2 || s.Stopped) {
        return;
    }
    int next = PickNext(scheduler);
    if (next != ThisLane) {
        HandOver(scheduler, next, true);
    }
}

thread_local unsigned MainCallDepth = 0;

bool EnterMainCall(unsigned processor, const char* what)
{
    if (ThisLane != MainLane || MainCallDepth++ > 0) {
        return false;
    }
    Scheduler& scheduler = Sched();
    scheduler.MainActive = true;
    scheduler.MainSpinning = false;
    scheduler.MainProcessor = processor;
    scheduler.MainWhat = what;
    return true;
}

bool InKernelCall()
{
    return ThisLane != MainLane || MainCallDepth > 0;
}

void LeaveMainCall(bool outermost)
{
    if (ThisLane != MainLane) {
        return;
    }
    --MainCallDepth;
    if (!outermost) {
        return;
    }
    Scheduler& scheduler = Sched();
    if (FreeRunning()) {
        FreeLeaveMainCall(scheduler);
        return;
    }
    scheduler.MainActive = false;
    // DPCs queued to other processors run before the kernel goes on, as
    // they would while the calling thread carried on elsewhere.
    RunOtherLanes(scheduler);
    State().Current = scheduler.MainProcessor;
}

void RunOnProcessors(std::vector<ProcessorWork> work)
{
    MachineState& s = State();
    const unsigned caller = s.Current;
    Scheduler& scheduler = Sched();
    if (s.Processors.size() < 2 || ThisLane != MainLane || scheduler.MainActive) {
        for (ProcessorWork& piece : work) {
            if (s.Stopped) {
                break;
            }
            s.Current = piece.Processor;
            piece.Run();
        }
        s.Current = caller;
        return;
    }
    KernelScope kernel;
    for (ProcessorWork& piece : work) {
        const unsigned processor = piece.Processor;
        std::unique_ptr<Worker>& worker = scheduler.Workers[processor];
        if (worker == nullptr) {
            worker = std::make_unique<Worker>();
        }
        worker->Work.push_back(std::move(piece));
        if (FreeRunning() && !worker->Thread.joinable()) {
            worker->Thread = std::thread(FreeWorkerMain, processor);
        }
    }
    if (FreeRunning()) {
        scheduler.Changed.notify_all();
        WaitInKernel(scheduler.Changed, [&] {
            bool idle = true;
            for (size_t p = 0; p < scheduler.Workers.size(); ++p) {
                idle = idle && !LaneActive(scheduler, static_cast<int>(p)) &&
                       (s.Stopped || scheduler.Abandon || !HasWork(scheduler, static_cast<unsigned>(p)));
            }
            return idle;
        });
    } else {
        RunOtherLanes(scheduler);
    }
    // Work a stopped machine never ran is dropped.
    for (std::unique_ptr<Worker>& worker : scheduler.Workers) {
        if (worker != nullptr) {
            worker->Work.clear();
        }
    }
    s.Current = caller;
}

std::mutex AbandonedMutex;
std::vector<void*> AbandonedBlocks;

void FreeWhenLanesStop(void* block)
{
    std::lock_guard<std::mutex> lock(AbandonedMutex);
    AbandonedBlocks.push_back(block);
}

void StopScheduler(MachineState&)
{
    Scheduler* scheduler = TheScheduler;
    if (scheduler == nullptr) {
        return;
    }
    {
        KernelScope kernel;
        std::lock_guard<std::mutex> lock(scheduler->Mutex);
        scheduler->Abandon = true;
        scheduler->Changed.notify_all();
    }
    if (scheduler->Fibers) {
        UnwindFiberLanes(*scheduler);
    }
    for (std::unique_ptr<Worker>& worker : scheduler->Workers) {
        if (worker != nullptr && worker->Thread.joinable()) {
            worker->Thread.join();
        }
    }
    delete scheduler;
    TheScheduler = nullptr;
    std::vector<void*> abandoned;
    {
        std::lock_guard<std::mutex> lock(AbandonedMutex);
        abandoned.swap(AbandonedBlocks);
    }
    for (void* block : abandoned) {
        FreeKernelMemory(block);
    }
}

}  // namespace model
