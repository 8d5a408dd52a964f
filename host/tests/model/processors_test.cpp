// Virtual processors: DPCs aimed at a processor run there at
// DISPATCH_LEVEL; a processor that spins with PAUSE lets the others run;
// the same seed gives the same interleaving; a machine whose processors
// only spin stops as deadlocked instead of hanging.
#include "fake_driver.h"

#include "model/loaded_images.h"

#include <cstdlib>
#include <set>

namespace vektest {
namespace {

using ProcessorsTest = ModelFixture;

constexpr unsigned MaxTestProcessors = 8;
constexpr int BumpsPerDpc = 3;

// What each DPC saw, and the shared counter they bump.
struct BroadcastRun {
    volatile LONG Counter = 0;
    volatile LONG Finished = 0;
    bool Interlocked = false;
    // Free-running DPCs run at once: the order is nobody's to record.
    bool RecordOrder = true;
    unsigned RanOn[MaxTestProcessors] = {};
    KIRQL IrqlSeen[MaxTestProcessors] = {};
    std::vector<unsigned> Order;
};
BroadcastRun* TheRun = nullptr;

VOID NTAPI BumpDpc(PKDPC, PVOID, PVOID index, PVOID)
{
    auto i = static_cast<unsigned>(reinterpret_cast<uintptr_t>(index));
    TheRun->RanOn[i] = model::CurrentProcessor();
    TheRun->IrqlSeen[i] = KeGetCurrentIrql();
    for (int bump = 0; bump < BumpsPerDpc; ++bump) {
        if (TheRun->RecordOrder) {
            TheRun->Order.push_back(i);
        }
        if (TheRun->Interlocked) {
            __atomic_add_fetch(&TheRun->Counter, 1, __ATOMIC_SEQ_CST);
            ModelPause();
        } else {
            // Read, let the others run, write: another processor's update
            // in between is lost.
            LONG seen = TheRun->Counter;
            ModelPause();
            TheRun->Counter = seen + 1;
        }
    }
    __atomic_add_fetch(&TheRun->Finished, 1, __ATOMIC_SEQ_CST);
}

// The entry routine's part: one DPC per other processor, then a spin with
// PAUSE until all have finished, as the all-processor broadcast does.
NTSTATUS Broadcast(PDRIVER_OBJECT driver)
{
    driver->DriverUnload = FakeUnloadRoutine;
    ULONG count = KeQueryActiveProcessorCountEx(ALL_PROCESSOR_GROUPS);
    KDPC dpcs[MaxTestProcessors];
    PROCESSOR_NUMBER here;
    ULONG self = KeGetCurrentProcessorNumberEx(&here);
    for (ULONG i = 0; i < count; ++i) {
        KeInitializeDpc(&dpcs[i], BumpDpc, nullptr);
        if (i == self) {
            continue;
        }
        PROCESSOR_NUMBER target;
        EXPECT_EQ(KeGetProcessorNumberFromIndex(i, &target), STATUS_SUCCESS);
        EXPECT_EQ(KeSetTargetProcessorDpcEx(&dpcs[i], &target), STATUS_SUCCESS);
        EXPECT_TRUE(KeInsertQueueDpc(&dpcs[i], reinterpret_cast<PVOID>(uintptr_t{i}), nullptr));
    }
    while (__atomic_load_n(&TheRun->Finished, __ATOMIC_SEQ_CST) < static_cast<LONG>(count - 1)) {
        ModelPause();
    }
    return STATUS_SUCCESS;
}

// A fresh machine of the given size and seed for each broadcast.
class BroadcastTest : public ModelFixture {
protected:
    BroadcastRun RunBroadcast(unsigned processors, uint64_t seed, bool interlocked,
                              bool freeRunning = false)
    {
        model::MachineConfig config;
        config.Processors = processors;
        config.Seed = seed;
        config.FreeRunning = freeRunning;
        StartMachine(config);
        BroadcastRun run;
        run.Interlocked = interlocked;
        run.RecordOrder = !freeRunning;
        TheRun = &run;
        FakeDriver fake;
        fake.Entry = Broadcast;
        EXPECT_EQ(model::LoadDriver(fake), STATUS_SUCCESS);
        model::UnloadDriver();
        TheRun = nullptr;
        return run;
    }
};

TEST_F(BroadcastTest, EachDpcRunsOnceOnItsProcessorAtDispatchLevel)
{
    constexpr unsigned Processors = 4;
    BroadcastRun run = RunBroadcast(Processors, 7, true);
    for (unsigned i = 1; i < Processors; ++i) {
        EXPECT_EQ(run.RanOn[i], i);
        EXPECT_EQ(run.IrqlSeen[i], DISPATCH_LEVEL);
    }
    EXPECT_EQ(run.Counter, static_cast<LONG>((Processors - 1) * BumpsPerDpc));
}

// Real parallelism: under ThreadSanitizer (scripts/tsan.sh) this is the
// run that must stay clean, the model's own state included.
TEST_F(BroadcastTest, FreeRunningInterlockedBroadcastCountsExactlyEveryRound)
{
    constexpr unsigned Rounds = 200;
    for (unsigned round = 0; round < Rounds; ++round) {
        unsigned processors = 4 + round % (MaxTestProcessors - 3);
        BroadcastRun run = RunBroadcast(processors, 0, true, true);
        ASSERT_EQ(run.Counter, static_cast<LONG>((processors - 1) * BumpsPerDpc))
            << "round " << round << ", " << processors << " processors";
        for (unsigned i = 1; i < processors; ++i) {
            ASSERT_EQ(run.RanOn[i], i) << "round " << round;
            ASSERT_EQ(run.IrqlSeen[i], DISPATCH_LEVEL) << "round " << round;
        }
        ASSERT_EQ(TakeViolations(), std::vector<std::string>{}) << "round " << round;
    }
    StartMachine();
}

TEST_F(BroadcastTest, PlainIncrementsLoseUpdatesUnderSomeSeedsInterlockedOnesNever)
{
    constexpr unsigned Processors = 4;
    constexpr LONG Expected = (Processors - 1) * BumpsPerDpc;
    bool lost = false;
    for (uint64_t seed = 0; seed < 16; ++seed) {
        BroadcastRun plain = RunBroadcast(Processors, seed, false);
        lost = lost || plain.Counter < Expected;
        BroadcastRun interlocked = RunBroadcast(Processors, seed, true);
        EXPECT_EQ(interlocked.Counter, Expected) << "seed " << seed;
    }
    EXPECT_TRUE(lost);
}

TEST_F(BroadcastTest, TheSameSeedGivesTheSameInterleavingAndSeedsDiffer)
{
    std::set<std::vector<unsigned>> distinct;
    for (uint64_t seed = 0; seed < 8; ++seed) {
        std::vector<unsigned> first = RunBroadcast(4, seed, false).Order;
        EXPECT_EQ(RunBroadcast(4, seed, false).Order, first) << "seed " << seed;
        distinct.insert(first);
    }
    EXPECT_GT(distinct.size(), 1u);
}

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VEK_TEST_TSAN 1
#endif
#endif

#ifdef VEK_TEST_TSAN
constexpr int RacingBumps = 2000;
volatile LONG RacedCounter = 0;
volatile LONG RacersDone = 0;

VOID NTAPI RacingDpc(PKDPC, PVOID, PVOID, PVOID)
{
    for (int bump = 0; bump < RacingBumps; ++bump) {
        LONG seen = RacedCounter;
        ModelPause();
        RacedCounter = seen + 1;
    }
    __atomic_add_fetch(&RacersDone, 1, __ATOMIC_SEQ_CST);
}

// Two processors bump the plain counter at once, then the process ends
// clean.
void RaceAndExit()
{
    model::MachineConfig config;
    config.Processors = 3;
    config.FreeRunning = true;
    model::ResetMachine(config);
    FakeDriver fake;
    fake.Entry = [](PDRIVER_OBJECT driver) {
        driver->DriverUnload = FakeUnloadRoutine;
        KDPC dpcs[2];
        for (UCHAR i = 0; i < 2; ++i) {
            KeInitializeDpc(&dpcs[i], RacingDpc, nullptr);
            PROCESSOR_NUMBER target{0, static_cast<UCHAR>(i + 1), 0};
            KeSetTargetProcessorDpcEx(&dpcs[i], &target);
            KeInsertQueueDpc(&dpcs[i], nullptr, nullptr);
        }
        while (__atomic_load_n(&RacersDone, __ATOMIC_SEQ_CST) < 2) {
            ModelPause();
        }
        return STATUS_SUCCESS;
    };
    model::LoadDriver(fake);
    std::exit(0);
}

// The mode is for finding races: the plain read-PAUSE-write counter, left
// unordered by the model, is one ThreadSanitizer must name (a clean exit
// fails the test).
TEST(FreeRunningRaceTest, PlainIncrementsOnTwoProcessorsAreReportedByThreadSanitizer)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(RaceAndExit(), "ThreadSanitizer: data race.*RacingDpc");
}
#endif

VOID NTAPI CountingDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    ++*static_cast<int*>(context);
}

TEST_F(ProcessorsTest, ADpcForTheCurrentProcessorWaitsUntilItDropsBelowDispatchLevel)
{
    int runs = 0;
    int runsWhileRaised = -1;
    fake_.Entry = [&](PDRIVER_OBJECT driver) {
        driver->DriverUnload = FakeUnloadRoutine;
        KDPC dpc;
        KeInitializeDpc(&dpc, CountingDpc, &runs);
        KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
        EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
        EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr));  // already queued
        runsWhileRaised = runs;
        KeLowerIrql(old);
        EXPECT_EQ(runs, 1);
        // Queued and removed before it could run: it never runs.
        old = KfRaiseIrql(DISPATCH_LEVEL);
        EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
        EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
        EXPECT_FALSE(KeRemoveQueueDpc(&dpc));
        KeLowerIrql(old);
        return STATUS_SUCCESS;
    };
    LoadFake();
    EXPECT_EQ(runsWhileRaised, 0);
    EXPECT_EQ(runs, 1);
    model::UnloadDriver();
}

// Where a DPC ran, and the processor number it read there.
struct GroupRun {
    volatile LONG Done = 0;
    unsigned RanOn = 0;
    ULONG Index = 0;
    PROCESSOR_NUMBER Number = {};
};

VOID NTAPI RecordNumberDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* run = static_cast<GroupRun*>(context);
    run->RanOn = model::CurrentProcessor();
    run->Index = KeGetCurrentProcessorNumberEx(&run->Number);
    __atomic_store_n(&run->Done, 1, __ATOMIC_SEQ_CST);
}

// Processors in groups: indexes run through group 0, then group 1; each
// routine answers by group and number, and a DPC aimed at a group's
// processor runs on its index.
TEST_F(ProcessorsTest, ProcessorGroupsNumberTheProcessorsGroupByGroup)
{
    model::MachineConfig config;
    config.Processors = 5;
    config.Groups = {2, 3};
    StartMachine(config);
    EXPECT_EQ(KeQueryActiveProcessorCountEx(ALL_PROCESSOR_GROUPS), 5u);
    EXPECT_EQ(KeQueryActiveProcessorCountEx(0), 2u);
    EXPECT_EQ(KeQueryActiveProcessorCountEx(1), 3u);
    EXPECT_EQ(KeQueryActiveProcessorCountEx(2), 0u);
    const struct {
        ULONG Index;
        USHORT Group;
        UCHAR Number;
    } cases[] = {{0, 0, 0}, {1, 0, 1}, {2, 1, 0}, {4, 1, 2}};
    for (const auto& c : cases) {
        PROCESSOR_NUMBER number = {};
        ASSERT_EQ(KeGetProcessorNumberFromIndex(c.Index, &number), STATUS_SUCCESS) << c.Index;
        EXPECT_EQ(number.Group, c.Group) << c.Index;
        EXPECT_EQ(number.Number, c.Number) << c.Index;
    }
    PROCESSOR_NUMBER none = {};
    EXPECT_EQ(KeGetProcessorNumberFromIndex(5, &none), STATUS_INVALID_PARAMETER);

    GroupRun run;
    fake_.Entry = [&](PDRIVER_OBJECT driver) {
        driver->DriverUnload = FakeUnloadRoutine;
        KDPC dpc;
        KeInitializeDpc(&dpc, RecordNumberDpc, &run);
        PROCESSOR_NUMBER beyondGroup0 = {0, 2, 0};
        PROCESSOR_NUMBER noGroup2 = {2, 0, 0};
        EXPECT_EQ(KeSetTargetProcessorDpcEx(&dpc, &beyondGroup0), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(KeSetTargetProcessorDpcEx(&dpc, &noGroup2), STATUS_INVALID_PARAMETER);
        PROCESSOR_NUMBER group1Number1 = {1, 1, 0};
        EXPECT_EQ(KeSetTargetProcessorDpcEx(&dpc, &group1Number1), STATUS_SUCCESS);
        EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
        while (__atomic_load_n(&run.Done, __ATOMIC_SEQ_CST) == 0) {
            ModelPause();
        }
        return STATUS_SUCCESS;
    };
    LoadFake();
    EXPECT_EQ(run.RanOn, 3u);
    EXPECT_EQ(run.Index, 3u);
    EXPECT_EQ(run.Number.Group, 1u);
    EXPECT_EQ(run.Number.Number, 1u);
    model::UnloadDriver();
}

// An injected FALSE is the contract's only one, "already queued": the DPC
// still runs, once.
TEST_F(ProcessorsTest, AnInjectedInsertFailureStillRunsTheDpcOnce)
{
    std::string error;
    ASSERT_TRUE(model::InjectFault({"KeInsertQueueDpc", 1}, &error)) << error;
    int runs = 0;
    fake_.Entry = [&](PDRIVER_OBJECT driver) {
        driver->DriverUnload = FakeUnloadRoutine;
        KDPC dpc;
        KeInitializeDpc(&dpc, CountingDpc, &runs);
        EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
        return STATUS_SUCCESS;
    };
    LoadFake();
    EXPECT_EQ(runs, 1);
    model::UnloadDriver();
}

volatile LONG NeverSet = 0;

VOID NTAPI SpinningDpc(PKDPC, PVOID, PVOID, PVOID)
{
    while (NeverSet == 0) {
        ModelPause();
    }
}

TEST_F(ProcessorsTest, ProcessorsThatOnlySpinStopTheMachineAsDeadlockedSayingWhereEachWas)
{
    const struct {
        unsigned Processors;
        bool DpcSpinsToo;
        const char* Expected;
    } cases[] = {
        {1, false, "deadlock: every processor spins and none makes progress (processor 0 in the "
                   "entry routine, spinning)"},
        {3, true, "deadlock: every processor spins and none makes progress (processor 0 in the "
                  "entry routine, spinning; processor 1 in a DPC routine, spinning; processor 2 "
                  "idle)"},
    };
    for (bool freeRunning : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(freeRunning ? "free-running" : "baton");
            model::MachineConfig config;
            config.Processors = c.Processors;
            config.SpinLimit = 1000;
            config.FreeRunning = freeRunning;
            StartMachine(config);
            FakeDriver fake;
            fake.Entry = [&](PDRIVER_OBJECT) {
                KDPC dpc;
                if (c.DpcSpinsToo) {
                    KeInitializeDpc(&dpc, SpinningDpc, nullptr);
                    PROCESSOR_NUMBER target{0, 1, 0};
                    KeSetTargetProcessorDpcEx(&dpc, &target);
                    KeInsertQueueDpc(&dpc, nullptr, nullptr);
                }
                while (NeverSet == 0) {
                    ModelPause();
                }
                return STATUS_SUCCESS;
            };
            EXPECT_EQ(model::LoadDriver(fake), STATUS_UNSUCCESSFUL);
            EXPECT_TRUE(model::Stopped());
            EXPECT_EQ(TakeViolations(), std::vector<std::string>{c.Expected});
        }
    }
    StartMachine();
}

// Notifications of loads that happen together run at once, each on its
// load's processor: a notify routine's unguarded read-PAUSE-write loses
// updates under some seeds, and each seed repeats its result.
volatile LONG Notified = 0;
volatile LONG HoldNotifications = 0;

VOID NTAPI CountingNotify(PUNICODE_STRING, HANDLE, PIMAGE_INFO)
{
    LONG seen = Notified;
    ModelPause();
    Notified = seen + 1;
    while (HoldNotifications != 0) {
        ModelPause();
    }
}

LONG NotifyFourLoads(uint64_t seed, std::vector<std::string>* violations)
{
    model::MachineConfig config = DefaultMachine();
    config.Processors = 4;
    config.Seed = seed;
    config.SpinLimit = 1000;
    model::ResetMachine(config);
    Notified = 0;
    FakeDriver fake;
    fake.Entry = [](PDRIVER_OBJECT driver) {
        driver->DriverUnload = FakeUnloadRoutine;
        return PsSetLoadImageNotifyRoutine(CountingNotify);
    };
    fake.Unload = [](PDRIVER_OBJECT) { PsRemoveLoadImageNotifyRoutine(CountingNotify); };
    EXPECT_EQ(model::LoadDriver(fake), STATUS_SUCCESS);
    std::vector<model::ImageLoad> loads(4);
    for (unsigned i = 0; i < loads.size(); ++i) {
        loads[i].Image.Path = "\\SystemRoot\\System32\\drivers\\load" + std::to_string(i) + ".sys";
        loads[i].Image.Offset = 0x100000 * (i + 1);
        loads[i].Image.Size = 0x2000;
        loads[i].Processor = i;
    }
    std::vector<std::string> errors;
    model::RunImageLoads(loads, &errors);
    EXPECT_TRUE(errors.empty());
    if (!model::Stopped()) {
        model::UnloadDriver();
    }
    *violations = model::Violations();
    return Notified;
}

TEST_F(ProcessorsTest, NotificationsOfLoadsThatHappenTogetherInterleave)
{
    bool lost = false;
    for (uint64_t seed = 1; seed <= 16; ++seed) {
        std::vector<std::string> violations;
        LONG first = NotifyFourLoads(seed, &violations);
        EXPECT_TRUE(violations.empty()) << "seed " << seed;
        EXPECT_EQ(NotifyFourLoads(seed, &violations), first) << "seed " << seed;
        EXPECT_LE(first, 4);
        lost = lost || first < 4;
    }
    EXPECT_TRUE(lost);
    StartMachine();
}

TEST_F(ProcessorsTest, NotifyRoutinesThatOnlySpinStopTheMachineNamingThem)
{
    HoldNotifications = 1;
    std::vector<std::string> violations;
    NotifyFourLoads(1, &violations);
    HoldNotifications = 0;
    EXPECT_TRUE(model::Stopped());
    ASSERT_FALSE(violations.empty());
    EXPECT_NE(violations.front().find("processor 3 in a load image notify routine, spinning"),
              std::string::npos)
        << violations.front();
    StartMachine();
}

}  // namespace
}  // namespace vektest
