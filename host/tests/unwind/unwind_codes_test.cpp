// The unwinder against hand-computed frames: each unwind operation, a frame
// register with an offset, machine frames, prologs cut short, epilogues,
// chained entries and the handler rule; and damaged data that must stop it
// cleanly.
#include "synthetic_image.h"

#include <gtest/gtest.h>

#include <map>

namespace vektest {
namespace {

using model::unwind::Op;
using model::unwind::Status;

constexpr uint8_t Rbx = 3, Rsp = 4, Rbp = 5, Rsi = 6, R14 = 14, R15 = 15;
constexpr uint32_t FunctionRva = 0x1000;
constexpr uint32_t FunctionEnd = 0x1040;
constexpr uint32_t InfoRva = 0x3000;

struct Word {
    uint64_t Address;
    uint64_t Value;
};
struct Reg {
    unsigned Number;
    uint64_t Value;
};
struct Xmm {
    int Number = -1;
    uint64_t Low = 0;
    uint64_t High = 0;
    uint64_t SavedAt = 0;
};

struct UnwindCase {
    const char* Name;
    std::vector<uint8_t> Code;  // at FunctionRva
    std::vector<uint8_t> Info;  // at InfoRva
    uint32_t PcOffset;
    std::vector<Reg> Before;    // RSP is S unless given
    std::vector<Word> Stack;
    uint64_t Rip;
    uint64_t Rsp;
    std::vector<Reg> After;     // registers the frame restores
    std::vector<Reg> SavedAt;   // where it found them
    uint64_t Establisher;
    bool InEpilogue = false;
    Xmm Vector = {};
};

// A register's value before unwinding, unless a case sets it.
uint64_t Initial(unsigned number)
{
    return number == Rsp ? S : 0xA000 + number;
}

const std::vector<uint8_t> FrameCode = {0x55,                          // push rbp
                                        0x48, 0x83, 0xEC, 0x40,        // sub rsp, 0x40
                                        0x48, 0x8D, 0x6C, 0x24, 0x20,  // lea rbp, [rsp+0x20]
                                        0x90,                          // body
                                        0x48, 0x8D, 0x65, 0x20,        // lea rsp, [rbp+0x20]
                                        0x5D,                          // pop rbp
                                        0xC3};                         // ret
const std::vector<uint8_t> FrameInfo = UnwindInfoBytes(
    0, 10, Rbp, 2,
    {Slot(10, Op::SetFpreg, 0), Slot(5, Op::AllocSmall, 7), Slot(1, Op::PushNonvol, Rbp)});

const std::vector<uint8_t> AllocCode = {0x53,                    // push rbx
                                        0x48, 0x83, 0xEC, 0x20,  // sub rsp, 0x20
                                        0x90,                    // body
                                        0x48, 0x83, 0xC4, 0x20,  // add rsp, 0x20
                                        0x5B,                    // pop rbx
                                        0xC3};                   // ret
const std::vector<uint8_t> AllocInfo =
    UnwindInfoBytes(0, 5, 0, 0, {Slot(5, Op::AllocSmall, 3), Slot(1, Op::PushNonvol, Rbx)});

// push r14; push r15; body; pop r15; pop r14; then the given way out.
std::vector<uint8_t> RexPopsThen(std::vector<uint8_t> exit)
{
    std::vector<uint8_t> code = {0x41, 0x56, 0x41, 0x57, 0x90, 0x41, 0x5F, 0x41, 0x5E};
    code.insert(code.end(), exit.begin(), exit.end());
    return code;
}
const std::vector<uint8_t> RexPopsInfo =
    UnwindInfoBytes(0, 4, 0, 0, {Slot(4, Op::PushNonvol, R15), Slot(2, Op::PushNonvol, R14)});
const std::vector<Word> RexPopsStack = {{S, 0xF15}, {S + 8, 0xE14}, {S + 16, 0xDDDD}};
const std::vector<Reg> RexPopsRestored = {{R15, 0xF15}, {R14, 0xE14}};
const std::vector<Reg> RexPopsFound = {{R15, S}, {R14, S + 8}};
// rel32 of a jump at offset 9 of the function to an RVA.
std::vector<uint8_t> JumpTo(uint32_t rva)
{
    int32_t displacement = static_cast<int32_t>(rva - (FunctionRva + 9 + 5));
    std::vector<uint8_t> code = {0xE9};
    for (int i = 0; i < 4; ++i) {
        code.push_back(static_cast<uint8_t>(static_cast<uint32_t>(displacement) >> (8 * i)));
    }
    return code;
}

const std::vector<UnwindCase> Cases = {
    {"PushNonvol", {0x53, 0x56, 0x90, 0xC3},
     UnwindInfoBytes(0, 2, 0, 0, {Slot(2, Op::PushNonvol, Rsi), Slot(1, Op::PushNonvol, Rbx)}),
     2, {}, {{S, 0x5151}, {S + 8, 0xB0B0}, {S + 16, 0x1111}},
     0x1111, S + 24, {{Rsi, 0x5151}, {Rbx, 0xB0B0}}, {{Rsi, S}, {Rbx, S + 8}}, S},
    {"AllocSmall", {0x48, 0x83, 0xEC, 0x28, 0x90},
     UnwindInfoBytes(0, 4, 0, 0, {Slot(4, Op::AllocSmall, 4)}),
     4, {}, {{S + 0x28, 0x2222}}, 0x2222, S + 0x30, {}, {}, S},
    {"AllocLargeScaledBy8", {0x48, 0x81, 0xEC, 0x00, 0x10, 0x00, 0x00, 0x90},
     UnwindInfoBytes(0, 7, 0, 0, {Slot(7, Op::AllocLarge, 0), Operand(0x200)}),
     7, {}, {{S + 0x1000, 0x3333}}, 0x3333, S + 0x1008, {}, {}, S},
    {"AllocLargeUnscaled", {0x48, 0x81, 0xEC, 0x40, 0x23, 0x01, 0x00, 0x90},
     UnwindInfoBytes(0, 7, 0, 0, {Slot(7, Op::AllocLarge, 1), Operand(0x2340), Operand(0x0001)}),
     7, {}, {{S + 0x12340, 0x4444}}, 0x4444, S + 0x12348, {}, {}, S},
    {"FrameRegisterWithOffset", FrameCode, FrameInfo, 10, {{Rsp, S - 0x100}, {Rbp, S + 0x20}},
     {{S + 0x40, 0xBBBB}, {S + 0x48, 0x5555}},
     0x5555, S + 0x50, {{Rbp, 0xBBBB}}, {{Rbp, S + 0x40}}, S},
    {"PrologNotStarted", FrameCode, FrameInfo, 0, {}, {{S, 0x6666}}, 0x6666, S + 8, {}, {}, S},
    {"PrologAfterPush", FrameCode, FrameInfo, 1, {}, {{S, 0xBBBB}, {S + 8, 0x6666}},
     0x6666, S + 16, {{Rbp, 0xBBBB}}, {{Rbp, S}}, S},
    {"PrologAfterAllocationBeforeFrameRegister", FrameCode, FrameInfo, 5, {},
     {{S + 0x40, 0xBBBB}, {S + 0x48, 0x6666}},
     0x6666, S + 0x50, {{Rbp, 0xBBBB}}, {{Rbp, S + 0x40}}, S},
    {"SaveNonvol", {0x48, 0x83, 0xEC, 0x28, 0x48, 0x89, 0x5C, 0x24, 0x30, 0x90},
     UnwindInfoBytes(0, 9, 0, 0,
                     {Slot(9, Op::SaveNonvol, Rbx), Operand(6), Slot(4, Op::AllocSmall, 4)}),
     9, {}, {{S + 0x30, 0xB0B0}, {S + 0x28, 0x7777}},
     0x7777, S + 0x30, {{Rbx, 0xB0B0}}, {{Rbx, S + 0x30}}, S},
    {"SaveNonvolFar",
     {0x48, 0x81, 0xEC, 0x28, 0x00, 0x01, 0x00, 0x48, 0x89, 0x9C, 0x24, 0x30, 0x00, 0x01, 0x00, 0x90},
     UnwindInfoBytes(0, 15, 0, 0,
                     {Slot(15, Op::SaveNonvolFar, Rbx), Operand(0x0030), Operand(1),
                      Slot(7, Op::AllocLarge, 1), Operand(0x0028), Operand(1)}),
     15, {}, {{S + 0x10030, 0xB0B0}, {S + 0x10028, 0x8888}},
     0x8888, S + 0x10030, {{Rbx, 0xB0B0}}, {{Rbx, S + 0x10030}}, S},
    {"SaveXmm128", {0x48, 0x83, 0xEC, 0x38, 0x0F, 0x29, 0x74, 0x24, 0x20, 0x90},
     UnwindInfoBytes(0, 9, 0, 0,
                     {Slot(9, Op::SaveXmm128, 6), Operand(2), Slot(4, Op::AllocSmall, 6)}),
     9, {}, {{S + 0x20, 0x6666}, {S + 0x28, 0x6767}, {S + 0x38, 0x9999}},
     0x9999, S + 0x40, {}, {}, S, false, {6, 0x6666, 0x6767, S + 0x20}},
    {"SaveXmm128Far",
     {0x48, 0x81, 0xEC, 0x38, 0x00, 0x01, 0x00, 0x44, 0x0F, 0x29, 0xBC, 0x24, 0x20, 0x00, 0x01,
      0x00, 0x90},
     UnwindInfoBytes(0, 16, 0, 0,
                     {Slot(16, Op::SaveXmm128Far, 15), Operand(0x0020), Operand(1),
                      Slot(7, Op::AllocLarge, 1), Operand(0x0038), Operand(1)}),
     16, {}, {{S + 0x10020, 0xF0F0}, {S + 0x10028, 0xF1F1}, {S + 0x10038, 0xAAAA}},
     0xAAAA, S + 0x10040, {}, {}, S, false, {15, 0xF0F0, 0xF1F1, S + 0x10020}},
    {"MachineFrame", {0x48, 0x83, 0xEC, 0x20, 0x90},
     UnwindInfoBytes(0, 4, 0, 0, {Slot(4, Op::AllocSmall, 3), Slot(0, Op::PushMachframe, 0)}),
     4, {}, {{S + 0x20, 0x4444}, {S + 0x28, 0x10}, {S + 0x30, 0x202}, {S + 0x38, 0x9990000}},
     0x4444, 0x9990000, {}, {}, S},
    {"MachineFrameWithErrorCode", {0x48, 0x83, 0xEC, 0x20, 0x90},
     UnwindInfoBytes(0, 4, 0, 0, {Slot(4, Op::AllocSmall, 3), Slot(0, Op::PushMachframe, 1)}),
     4, {}, {{S + 0x20, 0xEC}, {S + 0x28, 0x4545}, {S + 0x40, 0x9990008}},
     0x4545, 0x9990008, {}, {}, S},
    {"BodyBeforeEpilogue", AllocCode, AllocInfo, 5, {}, {{S + 0x20, 0xB0B0}, {S + 0x28, 0xCCCC}},
     0xCCCC, S + 0x30, {{Rbx, 0xB0B0}}, {{Rbx, S + 0x20}}, S},
    {"EpilogueAtAdd", AllocCode, AllocInfo, 6, {}, {{S + 0x20, 0xB0B0}, {S + 0x28, 0xCCCC}},
     0xCCCC, S + 0x30, {{Rbx, 0xB0B0}}, {{Rbx, S + 0x20}}, S, true},
    // The codes would release the allocation a second time here.
    {"EpilogueAtPop", AllocCode, AllocInfo, 10, {{Rsp, S + 0x20}},
     {{S + 0x20, 0xB0B0}, {S + 0x28, 0xCCCC}},
     0xCCCC, S + 0x30, {{Rbx, 0xB0B0}}, {{Rbx, S + 0x20}}, S + 0x20, true},
    {"EpilogueAtRet", AllocCode, AllocInfo, 11, {{Rsp, S + 0x28}}, {{S + 0x28, 0xCCCC}},
     0xCCCC, S + 0x30, {}, {}, S + 0x28, true},
    {"EpilogueLeaFromFrameRegister", FrameCode, FrameInfo, 11, {{Rsp, S - 0x80}, {Rbp, S + 0x20}},
     {{S + 0x40, 0xBBBB}, {S + 0x48, 0x5555}},
     0x5555, S + 0x50, {{Rbp, 0xBBBB}}, {{Rbp, S + 0x40}}, S, true},
    {"EpilogueRexPopsRet", RexPopsThen({0xC3}), RexPopsInfo, 5, {}, RexPopsStack,
     0xDDDD, S + 24, RexPopsRestored, RexPopsFound, S, true},
    {"EpilogueRepRet", RexPopsThen({0xF3, 0xC3}), RexPopsInfo, 5, {}, RexPopsStack,
     0xDDDD, S + 24, RexPopsRestored, RexPopsFound, S, true},
    {"EpilogueRetImmediate", RexPopsThen({0xC2, 0x10, 0x00}), RexPopsInfo, 5, {}, RexPopsStack,
     0xDDDD, S + 24 + 0x10, RexPopsRestored, RexPopsFound, S, true},
    {"TailJumpOutOfFunction", RexPopsThen(JumpTo(0x2000)), RexPopsInfo, 5, {}, RexPopsStack,
     0xDDDD, S + 24, RexPopsRestored, RexPopsFound, S, true},
    {"TailJumpToOwnStart", RexPopsThen(JumpTo(FunctionRva)), RexPopsInfo, 5, {}, RexPopsStack,
     0xDDDD, S + 24, RexPopsRestored, RexPopsFound, S, true},
    {"JumpInsideFunctionIsNoEpilogue", RexPopsThen(JumpTo(FunctionRva + 0x20)), RexPopsInfo, 5,
     {}, RexPopsStack, 0xDDDD, S + 24, RexPopsRestored, RexPopsFound, S, false},
    {"RexWIndirectJumpIsTailCall", RexPopsThen({0x48, 0xFF, 0xE0}), RexPopsInfo, 5, {},
     RexPopsStack, 0xDDDD, S + 24, RexPopsRestored, RexPopsFound, S, true},
    {"RegisterJumpWithoutRexWIsNoEpilogue", RexPopsThen({0xFF, 0xE0}), RexPopsInfo, 5, {},
     RexPopsStack, 0xDDDD, S + 24, RexPopsRestored, RexPopsFound, S, false},
    {"RipRelativeJumpIsTailCall", RexPopsThen({0xFF, 0x25, 0, 0, 0, 0}), RexPopsInfo, 5, {},
     RexPopsStack, 0xDDDD, S + 24, RexPopsRestored, RexPopsFound, S, true},
    {"DisplacedMemoryJumpIsNoEpilogue", RexPopsThen({0xFF, 0x60, 0x08}), RexPopsInfo, 5, {},
     RexPopsStack, 0xDDDD, S + 24, RexPopsRestored, RexPopsFound, S, false},
};

void PrintTo(const UnwindCase& c, std::ostream* out)
{
    *out << c.Name;
}

class UnwindCodes : public ::testing::TestWithParam<UnwindCase> {};

TEST_P(UnwindCodes, UnwoundFrameMatchesHandComputedCaller)
{
    const UnwindCase& c = GetParam();
    SyntheticMemory memory;
    memory.Put(FunctionRva, c.Code);
    memory.Put(InfoRva, c.Info);
    for (const Word& word : c.Stack) {
        memory.PutWord(word.Address, word.Value);
    }
    CONTEXT context = {};
    for (unsigned n = 0; n < 16; ++n) {
        model::unwind::IntegerRegister(context, n) = Initial(n);
    }
    for (const Reg& reg : c.Before) {
        model::unwind::IntegerRegister(context, reg.Number) = reg.Value;
    }
    KNONVOLATILE_CONTEXT_POINTERS pointers = {};
    const uint64_t pc = SyntheticBase + FunctionRva + c.PcOffset;
    context.Rip = pc;

    model::unwind::Result result =
        model::unwind::VirtualUnwind(memory.Reader(), UNW_FLAG_EHANDLER, SyntheticBase, pc,
                                     {FunctionRva, FunctionEnd, InfoRva}, &context, &pointers);

    ASSERT_EQ(result.Outcome, Status::Ok) << std::hex << result.FaultAddress;
    EXPECT_EQ(context.Rip, c.Rip);
    EXPECT_EQ(context.Rsp, c.Rsp);
    EXPECT_EQ(result.EstablisherFrame, c.Establisher);
    EXPECT_EQ(result.InEpilogue, c.InEpilogue);
    EXPECT_EQ(result.LanguageHandler, 0u);
    std::map<unsigned, uint64_t> expected;
    std::map<unsigned, uint64_t> found;
    for (unsigned n = 0; n < 16; ++n) {
        expected[n] = Initial(n);
        found[n] = 0;
    }
    for (const Reg& reg : c.Before) {
        expected[reg.Number] = reg.Value;
    }
    for (const Reg& reg : c.After) {
        expected[reg.Number] = reg.Value;
    }
    for (const Reg& reg : c.SavedAt) {
        found[reg.Number] = reg.Value;
    }
    for (unsigned n = 0; n < 16; ++n) {
        if (n != Rsp) {
            EXPECT_EQ(model::unwind::IntegerRegister(context, n), expected[n]) << "register " << n;
        }
        EXPECT_EQ(reinterpret_cast<uintptr_t>(pointers.IntegerContext[n]), found[n])
            << "where register " << n << " was found";
    }
    for (int n = 0; n < 16; ++n) {
        const M128A& xmm = context.FltSave.XmmRegisters[n];
        bool restored = n == c.Vector.Number;
        EXPECT_EQ(xmm.Low, restored ? c.Vector.Low : 0u) << "xmm" << n;
        EXPECT_EQ(static_cast<uint64_t>(xmm.High), restored ? c.Vector.High : 0u) << "xmm" << n;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(pointers.FloatingContext[n]),
                  restored ? c.Vector.SavedAt : 0u)
            << "xmm" << n;
    }
}

INSTANTIATE_TEST_SUITE_P(EveryCode, UnwindCodes, ::testing::ValuesIn(Cases),
                         [](const auto& info) { return std::string(info.param.Name); });

// Data that must stop the unwinder with the outcome named, the record
// untouched.
struct DamagedCase {
    const char* Name;
    std::vector<uint8_t> Info;
    uint64_t StackPointer;
    uint32_t InfoRva;
    uint64_t ControlPc;
    Status Outcome;
};

const std::vector<DamagedCase> Damaged = {
    {"UnreadableStack",
     UnwindInfoBytes(0, 1, 0, 0, {Slot(1, Op::PushNonvol, Rbx)}), 0x10, InfoRva,
     SyntheticBase + FunctionRva + 1, Status::BadMemory},
    {"UnknownOperation", UnwindInfoBytes(0, 1, 0, 0, {Slot(1, static_cast<Op>(11), 0)}), S, InfoRva,
     SyntheticBase + FunctionRva + 1, Status::BadUnwindData},
    {"VersionZero", UnwindInfoBytes(0, 0, 0, 0, {}, {}, 0), S, InfoRva,
     SyntheticBase + FunctionRva, Status::BadUnwindData},
    {"VersionThree", UnwindInfoBytes(0, 0, 0, 0, {}, {}, 3), S, InfoRva,
     SyntheticBase + FunctionRva, Status::BadUnwindData},
    {"OperandSlotsCutShort", UnwindInfoBytes(0, 7, 0, 0, {Slot(7, Op::AllocLarge, 1), Operand(5)}),
     S, InfoRva, SyntheticBase + FunctionRva + 1, Status::BadUnwindData},
    {"AllocLargeOfUnknownForm", UnwindInfoBytes(0, 7, 0, 0, {Slot(7, Op::AllocLarge, 2), Operand(5)}),
     S, InfoRva, SyntheticBase + FunctionRva + 1, Status::BadUnwindData},
    {"FrameRegisterSetButNotNamed", UnwindInfoBytes(0, 3, 0, 0, {Slot(3, Op::SetFpreg, 0)}), S,
     InfoRva, SyntheticBase + FunctionRva + 1, Status::BadUnwindData},
    {"UnwindInfoOutsideImage", {}, S, 0x10000, SyntheticBase + FunctionRva, Status::BadMemory},
    {"ControlPcOutsideImage", UnwindInfoBytes(0, 0, 0, 0, {}), S, InfoRva, 0x10,
     Status::BadMemory},
};

void PrintTo(const DamagedCase& c, std::ostream* out)
{
    *out << c.Name;
}

class DamagedUnwindData : public ::testing::TestWithParam<DamagedCase> {};

TEST_P(DamagedUnwindData, StopsWithTheOutcomeAndLeavesTheRecord)
{
    const DamagedCase& c = GetParam();
    SyntheticMemory memory;
    memory.Put(FunctionRva, {0x53, 0x90, 0x90, 0x90});
    memory.Put(InfoRva, c.Info);
    CONTEXT context = {};
    context.Rsp = c.StackPointer;
    context.Rip = c.ControlPc;
    context.Rbx = 0xB0B0;
    const CONTEXT before = context;
    KNONVOLATILE_CONTEXT_POINTERS pointers = {};

    model::unwind::Result result = model::unwind::VirtualUnwind(
        memory.Reader(), 0, SyntheticBase, c.ControlPc, {FunctionRva, FunctionEnd, c.InfoRva},
        &context, &pointers);

    EXPECT_EQ(result.Outcome, c.Outcome);
    EXPECT_EQ(std::memcmp(&context, &before, sizeof(CONTEXT)), 0);
    EXPECT_EQ(pointers.IntegerContext[Rbx], nullptr);
}

INSTANTIATE_TEST_SUITE_P(Refused, DamagedUnwindData, ::testing::ValuesIn(Damaged),
                         [](const auto& info) { return std::string(info.param.Name); });

// A fragment whose chained entry is the function's primary entry: the
// fragment's codes, then the primary's, and the primary's handler.
class ChainedEntries : public ::testing::Test {
protected:
    static constexpr uint32_t PrimaryRva = 0x1000;
    static constexpr uint32_t FragmentRva = 0x1080;
    static constexpr uint32_t PrimaryInfo = 0x3000;
    static constexpr uint32_t FragmentInfo = 0x3100;
    static constexpr uint32_t HandlerRva = 0x1500;

    void SetUp() override
    {
        memory_.Put(PrimaryRva, {0x53, 0x90, 0x90});               // push rbx
        memory_.Put(FragmentRva, {0x48, 0x83, 0xEC, 0x20, 0x90});  // sub rsp, 0x20
        memory_.Put(PrimaryInfo, UnwindInfoBytes(UNW_FLAG_EHANDLER, 1, 0, 0,
                                                 {Slot(1, Op::PushNonvol, Rbx)},
                                                 {HandlerRva, 0xDA7A}));
        memory_.Put(FragmentInfo, UnwindInfoBytes(UNW_FLAG_CHAININFO, 4, 0, 0,
                                                  {Slot(4, Op::AllocSmall, 3)},
                                                  {PrimaryRva, PrimaryRva + 0x40, PrimaryInfo}));
        memory_.PutWord(S + 0x20, 0xB0B0);
        memory_.PutWord(S + 0x28, 0xCCCC);
        context_.Rsp = S;
    }

    model::unwind::Result Unwind(uint32_t handlerType, uint32_t pcRva, uint32_t entryRva,
                                 uint32_t infoRva)
    {
        return model::unwind::VirtualUnwind(memory_.Reader(), handlerType, SyntheticBase,
                                            SyntheticBase + pcRva,
                                            {entryRva, entryRva + 0x40, infoRva}, &context_,
                                            nullptr);
    }

    SyntheticMemory memory_;
    CONTEXT context_ = {};
};

TEST_F(ChainedEntries, FragmentUnwindsThroughThePrimaryEntry)
{
    model::unwind::Result result = Unwind(UNW_FLAG_EHANDLER, FragmentRva + 4, FragmentRva, FragmentInfo);
    ASSERT_EQ(result.Outcome, Status::Ok);
    EXPECT_EQ(context_.Rbx, 0xB0B0u);
    EXPECT_EQ(context_.Rip, 0xCCCCu);
    EXPECT_EQ(context_.Rsp, S + 0x30);
    // Past the primary's prolog (the fragment lies after it): its handler.
    EXPECT_EQ(result.LanguageHandler, SyntheticBase + HandlerRva);
    EXPECT_EQ(result.HandlerData, SyntheticBase + PrimaryInfo + 4 + 4 + 4);
}

TEST_F(ChainedEntries, HandlerOnlyForItsTypeAndPastTheProlog)
{
    struct {
        const char* Name;
        uint32_t HandlerType;
        uint32_t PcRva;
        bool Handler;
    } const cases[] = {
        {"exception handler past the prolog", UNW_FLAG_EHANDLER, PrimaryRva + 1, true},
        {"termination handler asked", UNW_FLAG_UHANDLER, PrimaryRva + 1, false},
        {"no handler asked", UNW_FLAG_NHANDLER, PrimaryRva + 1, false},
        {"inside the prolog", UNW_FLAG_EHANDLER, PrimaryRva, false},
    };
    for (const auto& c : cases) {
        context_ = {};
        context_.Rsp = S + 0x20;
        model::unwind::Result result = Unwind(c.HandlerType, c.PcRva, PrimaryRva, PrimaryInfo);
        ASSERT_EQ(result.Outcome, Status::Ok) << c.Name;
        EXPECT_EQ(result.LanguageHandler, c.Handler ? SyntheticBase + HandlerRva : 0) << c.Name;
    }
}

TEST_F(ChainedEntries, CyclicChainIsRefused)
{
    const uint32_t loopInfo = 0x3200;
    memory_.Put(loopInfo, UnwindInfoBytes(UNW_FLAG_CHAININFO, 0, 0, 0, {},
                                          {FragmentRva, FragmentRva + 0x40, loopInfo}));
    context_.Rip = SyntheticBase + FragmentRva + 4;
    const CONTEXT before = context_;
    model::unwind::Result result = Unwind(0, FragmentRva + 4, FragmentRva, loopInfo);
    EXPECT_EQ(result.Outcome, Status::ChainTooLong);
    EXPECT_EQ(std::memcmp(&context_, &before, sizeof(CONTEXT)), 0);
}

}  // namespace
}  // namespace vektest
