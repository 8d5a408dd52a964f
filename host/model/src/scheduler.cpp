// Virtual processors of the host build (see scheduler.h for the design).
#include "scheduler.h"

#include "model/address_space.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

namespace model {

namespace {

constexpr int MainLane = -1;

struct Worker {
    std::thread Thread;
    bool Active = false;  // inside a DPC routine, or about to start one
    bool Spinning = false;
};

struct Scheduler {
    std::mutex Mutex;
    std::condition_variable Changed;
    int Turn = MainLane;
    bool Abandon = false;
    // The main lane is inside a call from the kernel, on this processor.
    bool MainActive = false;
    bool MainSpinning = false;
    unsigned MainProcessor = 0;
    const char* MainWhat = "";
    std::vector<std::unique_ptr<Worker>> Workers;
    std::mt19937_64 Random;
    uint64_t PausesWithoutProgress = 0;
};

// One scheduler per machine; made on first use, gone with the machine.
Scheduler* TheScheduler = nullptr;
bool SwitchingEnabled = true;

Scheduler& Sched()
{
    if (TheScheduler == nullptr) {
        TheScheduler = new Scheduler();
        TheScheduler->Random.seed(State().Config.Seed);
        TheScheduler->Workers.resize(State().Processors.size());
    }
    return *TheScheduler;
}

thread_local int ThisLane = MainLane;

bool HasDpcs(unsigned processor)
{
    return !State().Processors[processor].Dpcs.empty();
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
        if (LaneActive(scheduler, static_cast<int>(p)) || (!occupied && HasDpcs(static_cast<unsigned>(p)))) {
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

// Gives the turn to a lane (starting its worker when it has none yet) and,
// unless the caller is done, waits for the turn to come back.
void HandOver(Scheduler& scheduler, int next, bool waitForTurn)
{
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
        if (worker != nullptr && worker->Active) {
            where = worker->Spinning ? "in a DPC routine, spinning" : "in a DPC routine, running";
        } else if (HasDpcs(static_cast<unsigned>(p))) {
            where = "with DPCs waiting";
        }
        text += (text.empty() ? "" : "; ") + std::string("processor ") + std::to_string(p) + " " +
                where;
    }
    return text;
}

void Progress(Scheduler& scheduler)
{
    scheduler.PausesWithoutProgress = 0;
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
            RunQueue(processor);
            scheduler.Workers[processor]->Active = false;
            scheduler.Workers[processor]->Spinning = false;
            // Idle: hand the turn on and sleep until DPCs come again.
            HandOver(scheduler, PickNext(scheduler), true);
        }
    } catch (const LaneAbandoned&) {
    }
}

void StopForDeadlock(Scheduler& scheduler)
{
    Violation("deadlock: every processor spins and none makes progress (%s)",
              WhereEachProcessorWas(scheduler).c_str());
    HaltMachine();
}

}  // namespace

void SetProcessorSwitching(bool enabled)
{
    SwitchingEnabled = enabled;
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
    MachineState& s = State();
    if (s.Stopped || s.InBugCheck) {
        return;
    }
    Scheduler& scheduler = Sched();
    bool spinning = reason == SwitchReason::Pause;
    if (ThisLane == MainLane) {
        scheduler.MainSpinning = spinning;
    } else if (scheduler.Workers[static_cast<size_t>(ThisLane)] != nullptr) {
        scheduler.Workers[static_cast<size_t>(ThisLane)]->Spinning = spinning;
    }
    if (spinning && ++scheduler.PausesWithoutProgress > s.Config.SpinLimit) {
        StopForDeadlock(scheduler);
        if (SwitchingEnabled) {
            std::lock_guard<std::mutex> lock(scheduler.Mutex);
            scheduler.Abandon = true;
            scheduler.Changed.notify_all();
        }
        if (SwitchingEnabled) {
            throw LaneAbandoned{};
        }
        return;
    }
    DeliverDpcs();
    if (!SwitchingEnabled || s.Processors.size() < 2 || s.Stopped) {
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
    scheduler.MainActive = false;
    MachineState& s = State();
    // DPCs queued to other processors run before the kernel goes on, as
    // they would while the calling thread carried on elsewhere.
    try {
        while (SwitchingEnabled && !s.Stopped && !s.InBugCheck) {
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
    s.Current = scheduler.MainProcessor;
}

void StopScheduler(MachineState&)
{
    Scheduler* scheduler = TheScheduler;
    if (scheduler == nullptr) {
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
    }
    delete scheduler;
    TheScheduler = nullptr;
}

}  // namespace model
