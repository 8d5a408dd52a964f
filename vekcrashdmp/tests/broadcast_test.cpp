// The all-processor broadcast on the model's processors: the routine runs
// exactly once on every processor with that processor's own index, at
// DISPATCH_LEVEL, and the call returns only after the last run; no pool
// allocation survives it, and an exhausted pool runs it nowhere.
#include "fake_driver.h"

#include "hypervisor/broadcast.h"
#include "hypervisor/pool_tag.h"

#include <algorithm>
#include <vector>

namespace vektest {
namespace {

constexpr unsigned MaxTestProcessors = 64;

// What the broadcast routine saw, slot by processor index. Runs on other
// processors may overlap: each touches only its own slot, and the counts
// are interlocked.
struct BroadcastRecord {
    volatile LONG Runs[MaxTestProcessors] = {};
    unsigned RanOn[MaxTestProcessors] = {};
    KIRQL Irql[MaxTestProcessors] = {};
    // Slots whose run has returned.
    volatile LONG Finished[MaxTestProcessors] = {};
    // This processor's run spins with PAUSE first, so that the others (and
    // the waiting caller) go on without it.
    ULONG SlowProcessor = MaxTestProcessors;
    ULONG SlowPauses = 0;
};

VOID RecordRun(ULONG index, PVOID context)
{
    auto* record = static_cast<BroadcastRecord*>(context);
    if (index >= MaxTestProcessors) {
        ADD_FAILURE() << "index " << index;
        return;
    }
    AtomicIncrement(&record->Runs[index]);
    PROCESSOR_NUMBER number;
    record->RanOn[index] = KeGetCurrentProcessorNumberEx(&number);
    record->Irql[index] = KeGetCurrentIrql();
    if (index == record->SlowProcessor) {
        for (ULONG i = 0; i < record->SlowPauses; ++i) {
            ProcessorPause();
        }
    }
    AtomicExchange(&record->Finished[index], 1);
}

struct BroadcastOutcome {
    NTSTATUS Status = STATUS_UNSUCCESSFUL;
    // Slots finished when the call returned.
    unsigned FinishedAtReturn = 0;
};

class BroadcastTest : public ModelFixture {
protected:
    // Runs one broadcast from the entry routine of a fresh machine of the
    // given size, at the given IRQL, and unloads.
    BroadcastOutcome Broadcast(const model::MachineConfig& config, BroadcastRecord* record,
                               KIRQL callerIrql = PASSIVE_LEVEL,
                               const std::vector<model::Fault>& faults = {})
    {
        StartMachine(config);
        for (const model::Fault& fault : faults) {
            std::string error;
            EXPECT_TRUE(model::InjectFault(fault, &error)) << error;
        }
        BroadcastOutcome outcome;
        FakeDriver fake;
        fake.Entry = [&](PDRIVER_OBJECT driver) {
            driver->DriverUnload = FakeUnloadRoutine;
            KIRQL old = KfRaiseIrql(callerIrql);
            outcome.Status = BroadcastToAllProcessors(RecordRun, record);
            KeLowerIrql(old);
            for (ULONG i = 0; i < MaxTestProcessors; ++i) {
                outcome.FinishedAtReturn += record->Finished[i] != 0 ? 1 : 0;
            }
            return STATUS_SUCCESS;
        };
        EXPECT_EQ(model::LoadDriver(fake), STATUS_SUCCESS);
        model::UnloadDriver();
        return outcome;
    }

    static model::MachineConfig Machine(unsigned processors, uint64_t seed, bool freeRunning = false)
    {
        model::MachineConfig config = DefaultMachine();
        config.Processors = processors;
        config.Seed = seed;
        config.FreeRunning = freeRunning;
        return config;
    }

    // Every processor below the count ran once, on itself, at
    // DISPATCH_LEVEL; none above it ran.
    static void ExpectOneRunEach(const BroadcastRecord& record, unsigned processors,
                                 const std::string& where)
    {
        for (unsigned i = 0; i < MaxTestProcessors; ++i) {
            if (i >= processors) {
                ASSERT_EQ(record.Runs[i], 0) << where << ", index " << i;
                continue;
            }
            ASSERT_EQ(record.Runs[i], 1) << where << ", index " << i;
            ASSERT_EQ(record.RanOn[i], i) << where << ", index " << i;
            ASSERT_EQ(record.Irql[i], DISPATCH_LEVEL) << where << ", index " << i;
        }
    }

    static size_t LiveHypervisorBlocks()
    {
        auto live = model::LivePoolBlocks();
        auto found = live.find(HypervisorPoolTag);
        return found == live.end() ? 0 : found->second;
    }
};

TEST_F(BroadcastTest, RunsOnceOnEveryProcessorOfEveryGroupWithItsOwnIndexUnderEverySeed)
{
    struct Case {
        unsigned Processors;
        KIRQL CallerIrql;
        std::vector<unsigned> Groups;  // none: one group
    };
    const Case cases[] = {
        {1, PASSIVE_LEVEL, {}},       {2, PASSIVE_LEVEL, {}},     {7, PASSIVE_LEVEL, {}},
        {64, PASSIVE_LEVEL, {}},      {2, DISPATCH_LEVEL, {}},    {7, DISPATCH_LEVEL, {}},
        {5, PASSIVE_LEVEL, {2, 3}},   {7, DISPATCH_LEVEL, {1, 4, 2}},
        {64, PASSIVE_LEVEL, {32, 32}},
    };
    constexpr uint64_t Seeds = 12;
    for (const Case& c : cases) {
        for (uint64_t seed = 1; seed <= Seeds; ++seed) {
            std::string where = std::to_string(c.Processors) + " processors in " +
                                std::to_string(std::max<size_t>(c.Groups.size(), 1)) +
                                " groups, IRQL " + std::to_string(c.CallerIrql) + ", seed " +
                                std::to_string(seed);
            BroadcastRecord record;
            model::MachineConfig config = Machine(c.Processors, seed);
            config.Groups = c.Groups;
            BroadcastOutcome outcome = Broadcast(config, &record, c.CallerIrql);
            ASSERT_EQ(outcome.Status, STATUS_SUCCESS) << where;
            ASSERT_EQ(outcome.FinishedAtReturn, c.Processors) << where;
            ExpectOneRunEach(record, c.Processors, where);
            // One DPC per other processor; the array goes with the call.
            ASSERT_EQ(model::CallsTo({"KeInsertQueueDpc"}).size(), c.Processors - 1) << where;
            ASSERT_EQ(model::CallsTo({"ExAllocatePoolWithTag"}).size(), 1u) << where;
            ASSERT_EQ(LiveHypervisorBlocks(), 0u) << where;
        }
    }
}

TEST_F(BroadcastTest, ReturnsOnlyAfterAProcessorSlowToRunItsDpcHasFinished)
{
    for (unsigned processors : {2u, 7u}) {
        for (uint64_t seed = 1; seed <= 8; ++seed) {
            for (ULONG slow = 1; slow < processors; slow += 3) {
                std::string where = std::to_string(processors) + " processors, seed " +
                                    std::to_string(seed) + ", slow " + std::to_string(slow);
                BroadcastRecord record;
                record.SlowProcessor = slow;
                record.SlowPauses = 500;
                BroadcastOutcome outcome = Broadcast(Machine(processors, seed), &record);
                ASSERT_EQ(outcome.Status, STATUS_SUCCESS) << where;
                ASSERT_EQ(outcome.FinishedAtReturn, processors) << where;
                ExpectOneRunEach(record, processors, where);
            }
        }
    }
}

TEST_F(BroadcastTest, ExhaustedPoolRunsTheRoutineNowhere)
{
    for (unsigned processors : {1u, 2u, 7u}) {
        BroadcastRecord record;
        BroadcastOutcome outcome =
            Broadcast(Machine(processors, 1), &record, PASSIVE_LEVEL,
                      {model::Fault{"ExAllocatePoolWithTag", 1, STATUS_INSUFFICIENT_RESOURCES, "Xvir"}});
        EXPECT_EQ(outcome.Status, STATUS_INSUFFICIENT_RESOURCES) << processors;
        EXPECT_EQ(outcome.FinishedAtReturn, 0u) << processors;
        ExpectOneRunEach(record, 0, std::to_string(processors) + " processors");
        EXPECT_TRUE(model::CallsTo({"KeInitializeDpc", "KeInsertQueueDpc"}).empty());
    }
}

// Real parallelism: scripts/tsan.sh runs this under ThreadSanitizer, where
// the block on the waiter's stack, the interlocked count and the DPC array
// freed after the wait must stay clean.
TEST_F(BroadcastTest, FreeRunningProcessorsEachRunOnce)
{
    constexpr unsigned Rounds = 60;
    const unsigned sizes[] = {2, 3, 7, 8, 64};
    for (unsigned round = 0; round < Rounds; ++round) {
        unsigned processors = sizes[round % (sizeof(sizes) / sizeof(sizes[0]))];
        std::string where = "round " + std::to_string(round);
        BroadcastRecord record;
        record.SlowProcessor = round % processors;
        record.SlowPauses = 50;
        BroadcastOutcome outcome = Broadcast(Machine(processors, 0, true), &record);
        ASSERT_EQ(outcome.Status, STATUS_SUCCESS) << where;
        ASSERT_EQ(outcome.FinishedAtReturn, processors) << where;
        ExpectOneRunEach(record, processors, where);
        ASSERT_EQ(LiveHypervisorBlocks(), 0u) << where;
        ASSERT_EQ(TakeViolations(), std::vector<std::string>{}) << where;
    }
    StartMachine();
}

}  // namespace
}  // namespace vektest
