// The context block and the stack trace, walked over stacks laid out here:
// addresses in no image have no unwind data, so every frame is a leaf whose
// return address is the word on top of the stack.
#include "driver_test.h"
#include "synthetic_pe.h"

#include "model/address_space.h"
#include "model/driver_call.h"
#include "model/image_registry.h"
#include "modules/module_map.h"
#include "report/context_stack.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <vector>

namespace vektest {
namespace {

constexpr size_t PageBytes = 4096;
// Return addresses in no image and no module.
constexpr ULONG64 Unknown = 0xFFFFF80300001234;

class ContextStackTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        EmptyModuleMap();
    }

    void TearDown() override
    {
        for (model::MemoryRangeId id : ranges_) {
            model::RemoveMemory(id);
        }
        EmptyModuleMap();
        ModuleMap = ModuleMapRecord{};
        DriverTest::TearDown();
    }

    // An initialized map without entries.
    static void EmptyModuleMap()
    {
        PLIST_ENTRY head = &ModuleMap.Entries;
        for (PLIST_ENTRY at = head->Flink; at != nullptr && at != head;) {
            PLIST_ENTRY next = at->Flink;
            ExFreePoolWithTag(at, ModuleMapTag);
            at = next;
        }
        ModuleMap = ModuleMapRecord{};
        ModuleMap.Entries.Flink = &ModuleMap.Entries;
        ModuleMap.Entries.Blink = &ModuleMap.Entries;
        ModuleMap.Cursor = &ModuleMap.Entries;
        ModuleMap.InitCount = 1;
    }

    // A stack of two pages holding words from its base up; the second page
    // is paged out when asked.
    ULONG64 LayStack(const std::vector<ULONG64>& words, bool secondPageResident = true)
    {
        stack_.assign(2 * PageBytes / sizeof(ULONG64) + PageBytes / sizeof(ULONG64), 0);
        auto start = (reinterpret_cast<uintptr_t>(stack_.data()) + PageBytes - 1) & ~(PageBytes - 1);
        auto* base = reinterpret_cast<ULONG64*>(start);
        for (size_t i = 0; i < words.size(); ++i) {
            base[i] = words[i];
        }
        ranges_.push_back(model::EnterMemory({start, PageBytes, model::MemoryKind::Ram, true, true,
                                              "test stack"},
                                             model::MemoryOwner::Host));
        ranges_.push_back(model::EnterMemory({start + PageBytes, PageBytes, model::MemoryKind::Ram,
                                              true, secondPageResident, "test stack"},
                                             model::MemoryOwner::Host));
        return start;
    }

    std::string Walk(CONTEXT* context)
    {
        size_t before = Console().size();
        KIRQL old = KfRaiseIrql(HIGH_LEVEL);
        PrintContextAndStack(context);
        KeLowerIrql(old);
        return Console().substr(before);
    }

    static std::vector<std::string> StackLines(const std::string& console)
    {
        std::vector<std::string> lines;
        size_t at = console.find("STACK:\n");
        EXPECT_NE(at, std::string::npos) << console;
        std::istringstream rest(console.substr(at + 7));
        for (std::string line; std::getline(rest, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    static std::string Hex16(ULONG64 value)
    {
        char text[17];
        std::snprintf(text, sizeof(text), "%016llX", static_cast<unsigned long long>(value));
        return text;
    }

    std::vector<ULONG64> stack_;
    std::vector<model::MemoryRangeId> ranges_;
};

TEST_F(ContextStackTest, ContextBlockPrintsEveryRegisterInItsOrderAndWidth)
{
    CONTEXT context = {};
    context.SegGs = 0x2B;
    context.SegFs = 0x53;
    context.SegEs = 0x2A;
    context.SegDs = 0x29;
    context.SegSs = 0x18;
    context.SegCs = 0x10;
    context.EFlags = 0x246;
    ULONG64* registers[] = {&context.Rdi, &context.Rsi, &context.Rbx, &context.Rdx,
                            &context.Rcx, &context.Rax, &context.Rbp, &context.Rip,
                            &context.Rsp, &context.R8,  &context.R9,  &context.R10,
                            &context.R11, &context.R12, &context.R13, &context.R14,
                            &context.R15};
    ULONG64 value = 0x0123456789ABCDE0;
    for (ULONG64* reg : registers) {
        *reg = value++;
    }
    context.Rip = 0;  // no frames: only the block and the header
    std::string console = Walk(&context);
    std::string expected = "CONTEXT (" + Hex16(reinterpret_cast<uintptr_t>(&context)) + "):\n" +
                           "- GS = 002B\n- FS = 0053\n- ES = 002A\n- DS = 0029\n- SS = 0018\n"
                           "- CS = 0010\n- EFLAGS = 00000246\n"
                           "- RDI = 0123456789ABCDE0\n- RSI = 0123456789ABCDE1\n"
                           "- RBX = 0123456789ABCDE2\n- RDX = 0123456789ABCDE3\n"
                           "- RCX = 0123456789ABCDE4\n- RAX = 0123456789ABCDE5\n"
                           "- RBP = 0123456789ABCDE6\n- RIP = 0000000000000000\n"
                           "- RSP = 0123456789ABCDE8\n- R8 = 0123456789ABCDE9\n"
                           "- R9 = 0123456789ABCDEA\n- R10 = 0123456789ABCDEB\n"
                           "- R11 = 0123456789ABCDEC\n- R12 = 0123456789ABCDED\n"
                           "- R13 = 0123456789ABCDEE\n- R14 = 0123456789ABCDEF\n"
                           "- R15 = 0123456789ABCDF0\n"
                           "STACK:\n";
    EXPECT_EQ(console, expected);
}

// Each case: the words of the stack (the context's Rsp at the first), the
// frame lines expected, in the form (stack word index of the frame's stack
// pointer, return address, module or "").
TEST_F(ContextStackTest, WalksLeafFramesToTheirEnd)
{
    struct Frame {
        size_t At;
        ULONG64 ReturnAddress;
    };
    struct Case {
        const char* Name;
        std::vector<ULONG64> Words;
        bool SecondPageResident;
        std::vector<Frame> Frames;
    };
    std::vector<ULONG64> deep(30, Unknown);
    std::vector<Frame> twenty;
    for (size_t i = 1; i <= MaxStackFrames; ++i) {
        twenty.push_back({i, Unknown});
    }
    constexpr size_t WordsPerPage = PageBytes / sizeof(ULONG64);
    std::vector<ULONG64> intoPagedOut(WordsPerPage, Unknown);
    const Case cases[] = {
        {"LeafFramesEndAtReturnAddressZero",
         {0xFFFFF80300000010, 0xFFFFF80300000020, 0, 7},
         true,
         {{1, 0xFFFFF80300000010}, {2, 0xFFFFF80300000020}, {3, 0}}},
        {"MoreThanTwentyFrames", deep, true, twenty},
        {"ZeroAtOnce", {0, 1, 2, 3}, true, {{1, 0}}},
        // The walk reaches a page that is paged out: the frame whose words
        // would run into it is not printed, and nothing after it.
        {"StackPagedOutMidWalk", intoPagedOut, false, {}},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.Name);
        for (model::MemoryRangeId id : ranges_) {
            model::RemoveMemory(id);
        }
        ranges_.clear();
        ULONG64 rsp = LayStack(item.Words, item.SecondPageResident);
        // Rsp sits late in the first page when the second is paged out, so
        // the walk crosses into it after a few frames.
        size_t first = item.SecondPageResident ? 0 : WordsPerPage - 8;
        if (!item.SecondPageResident) {
            rsp += first * sizeof(ULONG64);
        }
        CONTEXT context = {};
        context.Rip = 0xFFFFF80300000001;
        context.Rsp = rsp;
        std::vector<std::string> lines = StackLines(Walk(&context));
        const auto* words = reinterpret_cast<const ULONG64*>(static_cast<uintptr_t>(rsp));
        std::vector<std::string> expected;
        std::vector<Frame> frames = item.Frames;
        if (!item.SecondPageResident) {
            // Words 0 to 7 past rsp are resident; the frame at 5 would read
            // 5 to 8, and 8 is the first paged-out word.
            frames = {{1, Unknown}, {2, Unknown}, {3, Unknown}, {4, Unknown}};
        }
        for (const Frame& frame : frames) {
            ULONG64 at = rsp + frame.At * sizeof(ULONG64);
            expected.push_back(Hex16(at) + ": (" + Hex16(words[frame.At]) + " " +
                               Hex16(words[frame.At + 1]) + " " + Hex16(words[frame.At + 2]) +
                               " " + Hex16(words[frame.At + 3]) + ") " +
                               Hex16(frame.ReturnAddress));
        }
        EXPECT_EQ(lines, expected);
        for (const std::string& line : lines) {
            EXPECT_EQ(line.size() + 1, 105u) << line;
        }
    }
}

TEST_F(ContextStackTest, ReturnAddressInAModuleShowsItsNameAndOffset)
{
    ASSERT_EQ(InsertModuleEntry(&ModuleMap, "ntoskrnl.exe", 0xFFFFF80312000000, 0x100000),
              STATUS_SUCCESS);
    ULONG64 rsp = LayStack({0xFFFFF80312001F2A, Unknown, 0});
    CONTEXT context = {};
    context.Rip = 0xFFFFF80300000001;
    context.Rsp = rsp;
    std::vector<std::string> lines = StackLines(Walk(&context));
    // The module's headers are nowhere, so where the exception directory
    // that RtlLookupFunctionEntry would search lies cannot be checked: the
    // trace ends after the module's frame.
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], Hex16(rsp + 8) + ": (" + Hex16(Unknown) +
                            " 0000000000000000 0000000000000000 0000000000000000) ntoskrnl.exe + "
                            "0000000000001F2A");
    EXPECT_EQ(lines[0].size() + 1, 108u + std::string("ntoskrnl.exe").size());
    EXPECT_EQ(TakeViolations(), std::vector<std::string>{});
}

// The stack pointer itself is paged out: "STACK:" and nothing after it, and
// the record keeps the frame the walk stopped at.
TEST_F(ContextStackTest, StackPointerNotResidentEndsTheTraceBeforeAnyFrame)
{
    ULONG64 rsp = LayStack({Unknown}, false);
    CONTEXT context = {};
    context.Rip = 0xFFFFF80300000001;
    context.Rsp = rsp + PageBytes;
    std::string console = Walk(&context);
    EXPECT_EQ(StackLines(console), std::vector<std::string>{});
    EXPECT_EQ(context.Rip, 0xFFFFF80300000001u);
    EXPECT_TRUE(TakeViolations().empty());
}

// A stack pointer that is not a multiple of 8, on the last bytes of a page
// with nothing mapped after it: every word the walk would read there runs
// into the missing page, so the trace ends there as at a page that is out,
// instead of faulting at HIGH_LEVEL.
TEST_F(ContextStackTest, WordAcrossTheEndOfTheStackEndsTheTrace)
{
    struct Case {
        const char* Name;
        size_t BytesBeforeEnd;  // from the stack pointer to the missing page
        size_t Frames;
    };
    const Case cases[] = {
        // The leaf's return address itself crosses into the missing page.
        {"ReturnAddressAcrossThePageEnd", 4, 0},
        // The return address is whole; the frame's fourth word is not.
        {"StackWordsAcrossThePageEnd", 8 + 3 * sizeof(ULONG64) + 4, 0},
        {"StackWordsWhole", 8 + 4 * sizeof(ULONG64) + 4, 1},
    };
    void* pages = mmap(nullptr, 2 * PageBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                       -1, 0);
    ASSERT_NE(pages, MAP_FAILED);
    ASSERT_EQ(mprotect(static_cast<uint8_t*>(pages) + PageBytes, PageBytes, PROT_NONE), 0);
    const auto start = reinterpret_cast<uintptr_t>(pages);
    ranges_.push_back(model::EnterMemory(
        {start, PageBytes, model::MemoryKind::Ram, true, true, "test stack"}, model::MemoryOwner::Host));
    for (const Case& item : cases) {
        SCOPED_TRACE(item.Name);
        CONTEXT context = {};
        context.Rip = Unknown;
        context.Rsp = start + PageBytes - item.BytesBeforeEnd;
        if (item.BytesBeforeEnd >= sizeof(Unknown)) {
            std::memcpy(reinterpret_cast<void*>(context.Rsp), &Unknown, sizeof(Unknown));
        }
        std::string console = Walk(&context);
        EXPECT_EQ(StackLines(console).size(), item.Frames) << console;
        EXPECT_TRUE(TakeViolations().empty());
    }
    munmap(pages, 2 * PageBytes);
}

// Damaged stacks and unwind data met at HIGH_LEVEL, where a page fault in
// RtlVirtualUnwind is a second bug check that no guard can take: the walk
// tests what each step will read and ends the trace there instead, without
// a line of its own, and the kernel sees no bad read. The frames that are
// whole show that the test ends nothing early.
TEST_F(ContextStackTest, DamagedFramesEndTheTraceBeforeTheUnwinderReadsThem)
{
    // One function at CodeRva whose unwind data, at InfoRva on a page of
    // its own, each row writes; its exception directory on a page of its
    // own too.
    constexpr uint64_t Base = model::ScenarioImageRegion + 0x71000000ull;
    constexpr uint32_t CodeRva = 0x1000, InfoRva = 0x2000, PdataRva = 0x3000, Size = 0x4000;
    // A stack page, then one paged out, then a hole nothing maps.
    void* pages = mmap(nullptr, 3 * PageBytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(pages, MAP_FAILED);
    ASSERT_EQ(mprotect(static_cast<uint8_t*>(pages) + 2 * PageBytes, PageBytes, PROT_NONE), 0);
    const auto start = reinterpret_cast<uintptr_t>(pages);
    const uintptr_t out = start + PageBytes;
    const uintptr_t hole = start + 2 * PageBytes;
    ranges_.push_back(model::EnterMemory(
        {start, PageBytes, model::MemoryKind::Ram, true, true, "test stack"}, model::MemoryOwner::Host));
    ranges_.push_back(model::EnterMemory(
        {out, PageBytes, model::MemoryKind::Ram, true, false, "test stack"}, model::MemoryOwner::Host));

    // UNWIND_INFO version 1: flags, prolog size, code count, frame
    // register; then the codes (offset, operation | information << 4).
    struct Case {
        const char* Name;
        std::vector<uint8_t> Info;
        uintptr_t Rsp;
        uintptr_t Rbp;
        uint32_t PageOut;  // the RVA of the image's page that is out, or 0
        size_t Lines;
        std::vector<uint8_t> Code = {};  // at the control PC
    };
    // add rsp, 0x28; pop rbx; ret: the unwinder runs the rest of it.
    const std::vector<uint8_t> epilogue = {0x48, 0x83, 0xC4, 0x28, 0x5B, 0xC3};
    const std::vector<uint8_t> alloc28 = {1, 4, 1, 0, 4, 0x42, 0, 0};  // sub rsp, 0x28
    const Case cases[] = {
        {"WholeFrame", alloc28, start + 0x100, 0, 0, 2},
        {"WholeFrameOnTheFramePointer", {1, 4, 2, 0x05, 4, 0x03, 1, 0x50}, start + 0x100,
         start + 0x200, 0, 2},
        {"ReturnAddressOnAPageThatIsOut", alloc28, out - 0x20, 0, 0, 0},
        // mov [rsp + 0x1000], rbx after sub rsp, 0x28: the slot is on the
        // page that is out, the return address is not.
        {"SavedRegisterOnAPageThatIsOut", {1, 8, 3, 0, 8, 0x34, 0x00, 0x02, 4, 0x42, 0, 0},
         start + 0x100, 0, 0, 0},
        {"MachineFrameOnAPageThatIsOut", {1, 1, 1, 0, 1, 0x0A, 0, 0}, out - 0x10, 0, 0, 0},
        {"StackPointerInAHole", alloc28, hole + 0x100, 0, 0, 0},
        // push rbp; mov rbp, rsp with RBP off the stack.
        {"FramePointerOutsideTheStack", {1, 4, 2, 0x05, 4, 0x03, 1, 0x50}, start + 0x100,
         hole + 0x100, 0, 0},
        {"FramePointerFarFromTheStack", {1, 4, 2, 0x05, 4, 0x03, 1, 0x50}, start + 0x100,
         0xFFFFF80300100000ull, 0, 0},
        {"UnwindDataOnAPageThatIsOut", alloc28, start + 0x100, 0, InfoRva, 0},
        // A saved RSP: the unwinder takes the stack pointer from the stack
        // (0 here), and its next read from there.
        {"StackPointerReadBackFromTheStack", {1, 4, 1, 0, 4, 0x40, 0, 0}, start + 0x100, 0, 0,
         0},
        // The entries RtlLookupFunctionEntry searches in place.
        {"ExceptionDirectoryOnAPageThatIsOut", alloc28, start + 0x100, 0, PdataRva, 0},
        {"WholeEpilogue", alloc28, start + 0xD8, 0, 0, 1, epilogue},
        // The pop is on the last resident word; the return address is out.
        {"EpilogueReturnAddressOnAPageThatIsOut", alloc28, out - 0x30, 0, 0, 0, epilogue},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.Name);
        StartMachine();
        std::vector<uint8_t> bytes(Size, 0);
        PutPeHeaders(bytes, PdataRva, sizeof(RUNTIME_FUNCTION));
        const RUNTIME_FUNCTION entry = {CodeRva, CodeRva + 0x40, InfoRva};
        std::memcpy(&bytes[PdataRva], &entry, sizeof(entry));
        std::memcpy(&bytes[InfoRva], item.Info.data(), item.Info.size());
        if (!item.Code.empty()) {
            std::memcpy(&bytes[CodeRva + 0x10], item.Code.data(), item.Code.size());
        }
        model::ImageDescription description;
        description.Name = "unwound.sys";
        description.Base = Base;
        description.Size = Size;
        description.OwnedBytes = bytes;
        std::string error;
        model::ImageRegistration image = model::RegisterImage(std::move(description), &error);
        ASSERT_TRUE(image.Registered()) << error;
        // Listed in the driver's map, as every loaded image is.
        ASSERT_EQ(InsertModuleEntry(&ModuleMap, "unwound.sys", Base, Size), STATUS_SUCCESS);
        if (item.PageOut != 0) {
            model::SetImagePagesResident(image.Id(), item.PageOut / PageBytes, 1, false);
        }

        std::memset(pages, 0, 2 * PageBytes);
        // Each whole frame returns to an address in no image, whose leaf
        // frame returns to 0.
        for (uintptr_t at : {start + 0x128, start + 0x208}) {
            std::memcpy(reinterpret_cast<void*>(at), &Unknown, sizeof(Unknown));
        }
        CONTEXT context = {};
        context.Rip = Base + CodeRva + 0x10;
        context.Rsp = item.Rsp;
        context.Rbp = item.Rbp;
        size_t before = Console().size();
        bool ended = !model::Guarded([&] { Walk(&context); });
        std::string console = Console().substr(before);
        EXPECT_FALSE(ended);
        ASSERT_NE(console.find("STACK:\n"), std::string::npos) << console;
        EXPECT_EQ(StackLines(console).size(), item.Lines) << console;
        EXPECT_EQ(TakeViolations(), std::vector<std::string>{});
        EXPECT_FALSE(model::Stopped());
        EmptyModuleMap();
    }
    munmap(pages, 3 * PageBytes);
}

}  // namespace
}  // namespace vektest
