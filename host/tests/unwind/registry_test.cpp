// The image registry and the kernel's unwinding routines as the driver
// calls them: images listed and found, pages paged out, the shipped image
// listed beside the host build, and RtlCaptureContext, RtlLookupFunctionEntry
// and RtlVirtualUnwind over a listed image, during a bug check too.
#include "synthetic_image.h"

#include "model_test.h"

#include "model/driver_call.h"
#include "model/image_registry.h"
#include "model/unwind.h"

#include <xmmintrin.h>

#include <fstream>
#include <iterator>

namespace vektest {
namespace {

using model::unwind::Op;

constexpr uint64_t ListedBase = model::ScenarioImageRegion + 0x60000000ull;
constexpr uint32_t PdataRva = 0x2000;
constexpr uint32_t XdataRva = 0x3000;
constexpr uint32_t RegisteredFunctionRva = 0x1040;

std::vector<std::string> ListedNames()
{
    std::vector<std::string> names;
    model::ForEachImage([&](const model::LoadedImage& image) { names.push_back(image.Name); });
    return names;
}

model::ImageRegistration Register(const std::string& name, uint64_t base, uint64_t size,
                                  std::vector<uint8_t> bytes = {})
{
    std::string error;
    model::ImageDescription description;
    description.Name = name;
    description.Base = base;
    description.Size = size;
    description.OwnedBytes = std::move(bytes);
    return model::RegisterImage(std::move(description), &error);
}

TEST(ImageRegistry, KernelImagesComeFirstAtFixedBases)
{
    std::vector<std::string> names = ListedNames();
    ASSERT_GE(names.size(), 2u);
    EXPECT_EQ(names[0], "ntoskrnl.exe");
    EXPECT_EQ(names[1], "hal.dll");
    const model::LoadedImage* kernel = model::FindImageByAddress(model::KernelImageBase + 0x1234);
    ASSERT_NE(kernel, nullptr);
    EXPECT_EQ(kernel->Base, model::KernelImageBase);
    EXPECT_EQ(kernel->FullPath, "\\SystemRoot\\system32\\ntoskrnl.exe");
    // The kernel's contents are the model's kernel image, when it was built;
    // the hardware layer's are not modelled: nothing reads.
    uint8_t header[2] = {};
    bool built = std::ifstream(model::DefaultKernelImagePath()).good();
    EXPECT_EQ(model::ReadImageBytes(*kernel, model::KernelImageBase, header, 2), built);
    if (built) {
        EXPECT_EQ(std::string(header, header + 2), "MZ");
    }
    const model::LoadedImage* hal = model::FindImageByAddress(model::HalImageBase);
    ASSERT_NE(hal, nullptr);
    EXPECT_FALSE(model::ReadImageBytes(*hal, model::HalImageBase, header, 1));
}

TEST(ImageRegistry, RangesThatCannotBeAnImageAreRefused)
{
    model::ImageRegistration listed = Register("listed.sys", ListedBase, 0x4000);
    ASSERT_TRUE(listed.Registered());
    struct {
        const char* Name;
        uint64_t Base;
        uint64_t Size;
    } const cases[] = {
        {"empty", ListedBase + 0x10000, 0},
        {"unaligned base", ListedBase + 0x10010, 0x1000},
        {"unaligned size", ListedBase + 0x10000, 0x1001},
        {"wraps", 0xFFFFFFFFFFFFF000ull, 0x2000},
        {"overlaps from below", ListedBase - 0x1000, 0x2000},
        {"overlaps inside", ListedBase + 0x1000, 0x1000},
        {"overlaps the kernel", model::KernelImageBase + 0x1000, 0x1000},
    };
    for (const auto& c : cases) {
        std::string error;
        model::ImageDescription description;
        description.Name = c.Name;
        description.Base = c.Base;
        description.Size = c.Size;
        size_t before = model::ImageCount();
        EXPECT_FALSE(model::RegisterImage(std::move(description), &error).Registered()) << c.Name;
        EXPECT_FALSE(error.empty()) << c.Name;
        EXPECT_EQ(model::ImageCount(), before) << c.Name;
    }
}

TEST(ImageRegistry, ImageIsListedForTheLifeOfItsRegistration)
{
    size_t before = model::ImageCount();
    {
        model::ImageRegistration listed = Register("listed.sys", ListedBase, 0x2000);
        ASSERT_TRUE(listed.Registered());
        const model::LoadedImage* image = model::FindImageByAddress(ListedBase + 0x1FFF);
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->Name, "listed.sys");
        EXPECT_EQ(image->FullPath, "\\SystemRoot\\System32\\drivers\\listed.sys");
        EXPECT_EQ(model::FindImage(listed.Id()), image);
        EXPECT_EQ(model::FindImageByAddress(ListedBase + 0x2000), nullptr);
        EXPECT_EQ(ListedNames().back(), "listed.sys");

        model::ImageRegistration moved = std::move(listed);
        EXPECT_FALSE(listed.Registered());
        EXPECT_NE(model::FindImageByAddress(ListedBase), nullptr);
    }
    EXPECT_EQ(model::FindImageByAddress(ListedBase), nullptr);
    EXPECT_EQ(model::ImageCount(), before);
}

TEST(ImageRegistry, ReadsStayInsideResidentPages)
{
    std::vector<uint8_t> bytes(0x3000);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i / 0x1000 + 1);
    }
    model::ImageRegistration listed = Register("paged.sys", ListedBase, 0x3000, bytes);
    model::SetImagePagesResident(listed.Id(), 1, 1, false);
    const model::LoadedImage& image = *model::FindImage(listed.Id());
    struct {
        const char* Name;
        uint64_t Address;
        size_t Size;
        bool Reads;
    } const cases[] = {
        {"first page", ListedBase + 0x10, 8, true},
        {"last byte", ListedBase + 0x2FFF, 1, true},
        {"paged-out page", ListedBase + 0x1800, 8, false},
        {"runs into a paged-out page", ListedBase + 0xFFC, 8, false},
        {"runs past the end", ListedBase + 0x2FFC, 8, false},
        {"below the image", ListedBase - 8, 8, false},
    };
    for (const auto& c : cases) {
        uint8_t buffer[8] = {};
        EXPECT_EQ(model::ReadImageBytes(image, c.Address, buffer, c.Size), c.Reads) << c.Name;
    }
    uint8_t last = 0;
    ASSERT_TRUE(model::ReadImageBytes(image, ListedBase + 0x2FFF, &last, 1));
    EXPECT_EQ(last, 3);
}

#if defined(VEK_SYS_IMAGE)
std::vector<uint8_t> FileBytes(const char* path)
{
    std::ifstream file(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(file)),
                                std::istreambuf_iterator<char>());
}

TEST(ImageRegistry, ShippedImageIsLaidOutAsTheLoaderMapsIt)
{
    std::vector<uint8_t> bytes;
    uint64_t imageSize = 0;
    std::string error;
    ASSERT_TRUE(model::MapImageFile(VEK_SYS_IMAGE, model::DriverImageBase,
                                    model::ScenarioImageRegionSize, &bytes, &imageSize, &error))
        << error;
    EXPECT_EQ(bytes.size() % model::ImagePageSize, 0u);
    // The headers hold the base the image was laid out for.
    uint32_t nt = 0;
    uint64_t imageBase = 0;
    std::memcpy(&nt, &bytes[0x3C], 4);
    std::memcpy(&imageBase, &bytes[nt + 24 + 24], 8);
    EXPECT_EQ(imageBase, model::DriverImageBase);
    // Every function the exception directory names starts inside the image
    // and its unwind data parses.
    model::unwind::SpanReader reader(model::DriverImageBase, bytes.data(), bytes.size());
    uint32_t rva = 0;
    uint32_t size = 0;
    ASSERT_TRUE(model::unwind::ReadExceptionDirectory(reader, model::DriverImageBase, &rva, &size));
    ASSERT_GT(size, 0u);
    for (uint32_t at = rva; at < rva + size; at += sizeof(RUNTIME_FUNCTION)) {
        RUNTIME_FUNCTION entry;
        std::memcpy(&entry, &bytes[at], sizeof(entry));
        model::unwind::UnwindInfo info;
        EXPECT_EQ(model::unwind::ReadUnwindInfo(reader, model::DriverImageBase + entry.UnwindData,
                                                &info),
                  model::unwind::Status::Ok);
    }
}

TEST(ImageRegistry, DamagedFilesAreRefusedWithoutHarm)
{
    const std::vector<uint8_t> file = FileBytes(VEK_SYS_IMAGE);
    ASSERT_GT(file.size(), 0x400u);
    for (size_t length : {size_t{0}, size_t{2}, size_t{0x40}, size_t{0x90}, size_t{0x180},
                          size_t{0x300}, file.size() / 2, file.size() - 1}) {
        std::vector<uint8_t> cut(file.begin(), file.begin() + static_cast<long>(length));
        std::vector<uint8_t> bytes;
        std::string error;
        bool mapped = model::MapImageData(cut, model::DriverImageBase, &bytes, &error);
        EXPECT_TRUE(mapped || !error.empty()) << length;
    }
    // A section pointing far past the end of the file.
    std::vector<uint8_t> damaged = file;
    uint32_t nt = 0;
    uint16_t optionalSize = 0;
    std::memcpy(&nt, &damaged[0x3C], 4);
    std::memcpy(&optionalSize, &damaged[nt + 20], 2);
    const uint32_t farAway = 0x7FFFFFF0;
    std::memcpy(&damaged[nt + 24 + optionalSize + 20], &farAway, 4);
    std::vector<uint8_t> bytes;
    std::string error;
    EXPECT_FALSE(model::MapImageData(damaged, model::DriverImageBase, &bytes, &error));
}

// Large display drivers reach 100 MB: any image that fits the room it is
// given is laid out; a refusal says which header field is wrong.
TEST(ImageRegistry, ImagesAsLargeAsTheirRoomAreLaidOutAndRefusalsNameTheField)
{
    const std::vector<uint8_t> file = FileBytes(VEK_SYS_IMAGE);
    uint32_t nt = 0;
    std::memcpy(&nt, &file[0x3C], 4);
    const size_t sizeOfImage = nt + 24 + 56;
    const size_t sizeOfHeaders = nt + 24 + 60;
    uint32_t ownSize = 0;
    std::memcpy(&ownSize, &file[sizeOfImage], 4);
    struct Case {
        const char* Name;
        size_t Field;
        uint32_t Value;
        uint64_t Room;
        const char* Refusal;  // null: laid out at Value bytes
    };
    const Case cases[] = {
        {"HundredMegabytes", sizeOfImage, 100u << 20, model::ScenarioImageRegionSize, nullptr},
        {"AlmostFourGigabytes", sizeOfImage, 0xFFFFF000u, model::ScenarioImageRegionSize, nullptr},
        {"PastTheRoom", sizeOfImage, 0x200000, 0x100000,
         "SizeOfImage 0x200000 does not fit the 0x100000 bytes"},
        {"NoSize", sizeOfImage, 0, model::ScenarioImageRegionSize, "SizeOfImage is 0"},
        {"HeadersPastTheImage", sizeOfHeaders, 0x7FFFF000, model::ScenarioImageRegionSize,
         "SizeOfHeaders 0x7FFFF000 exceeds SizeOfImage"},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.Name);
        std::vector<uint8_t> changed = file;
        std::memcpy(&changed[item.Field], &item.Value, 4);
        std::vector<uint8_t> bytes;
        uint64_t size = 0;
        std::string error;
        bool mapped = model::MapImageData(changed.data(), changed.size(), model::DriverImageBase,
                                          item.Room, &bytes, &size, &error);
        if (item.Refusal == nullptr) {
            EXPECT_TRUE(mapped) << error;
            EXPECT_EQ(size, item.Value);
            // What is held is what the file fills, however large the image.
            EXPECT_LE(bytes.size(), ownSize);
        } else {
            EXPECT_FALSE(mapped);
            EXPECT_NE(error.find(item.Refusal), std::string::npos) << error;
        }
    }
}
#endif

TEST(ImageRegistry, HostBuildListsTheShippedImage)
{
    std::unique_ptr<model::DriverImage> host = OpenDriverImage();
    const model::LoadedImage* listed = model::FindImageByAddress(model::DriverImageBase);
    ASSERT_NE(listed, nullptr);
    EXPECT_EQ(listed->Name, "vekcrashdmp.sys");
#if defined(VEK_SYS_IMAGE)
    // Headers and sections from the built .sys: its identity can be read.
    ASSERT_NE(listed->Bytes, nullptr);
    uint16_t signature = 0;
    EXPECT_TRUE(model::ReadImageBytes(*listed, listed->Base, &signature, 2));
    EXPECT_EQ(signature, 0x5A4D);
#endif
    host.reset();
    EXPECT_EQ(model::FindImageByAddress(model::DriverImageBase), nullptr);
}

// A listed image with one function (push rbx; sub rsp, 0x20) and its
// unwind data, and a stack in host memory that the routines read as the
// kernel's.
class UnwindRoutines : public ModelTest {
protected:
    void SetUp() override
    {
        StartMachine();
        std::vector<uint8_t> bytes(0x4000, 0);
        PutPeHeaders(bytes, PdataRva, 3 * sizeof(RUNTIME_FUNCTION));
        const RUNTIME_FUNCTION entries[] = {{0x1000, 0x1010, XdataRva},
                                            {0x1020, 0x1030, XdataRva},
                                            {RegisteredFunctionRva, RegisteredFunctionRva + 0x40, XdataRva + 0x10}};
        std::memcpy(&bytes[PdataRva], entries, sizeof(entries));
        const std::vector<uint8_t> code = {0x53, 0x48, 0x83, 0xEC, 0x20, 0x90, 0x90};
        std::copy(code.begin(), code.end(), bytes.begin() + RegisteredFunctionRva);
        const std::vector<uint8_t> info = UnwindInfoBytes(
            0, 5, 0, 0, {Slot(5, Op::AllocSmall, 3), Slot(1, Op::PushNonvol, 3)});
        std::copy(info.begin(), info.end(), bytes.begin() + XdataRva + 0x10);
        const std::vector<uint8_t> leafInfo = UnwindInfoBytes(0, 0, 0, 0, {});
        std::copy(leafInfo.begin(), leafInfo.end(), bytes.begin() + XdataRva);
        listed_ = Register("unwound.sys", ListedBase, bytes.size(), bytes);
        ASSERT_TRUE(listed_.Registered());

        stack_[4] = 0xB0B0;
        stack_[5] = 0xCA11E4;
        context_.Rsp = reinterpret_cast<uintptr_t>(&stack_[0]);
        context_.Rip = ListedBase + RegisteredFunctionRva + 5;
        context_.Rbx = 0x1234;
    }

    model::ImageRegistration listed_;
    uint64_t stack_[8] = {};
    CONTEXT context_ = {};
};

TEST_F(UnwindRoutines, LookupFindsTheEntryCoveringTheAddress)
{
    struct {
        const char* Name;
        uint64_t ControlPc;
        uint32_t EntryRva;  // 0: none
    } const cases[] = {
        {"first function", ListedBase + 0x1000, PdataRva},
        {"last byte of the second", ListedBase + 0x102F, PdataRva + 12},
        {"third", ListedBase + RegisteredFunctionRva + 0x3F, PdataRva + 24},
        {"between functions (a leaf)", ListedBase + 0x1015, 0},
        {"past the last function", ListedBase + 0x1080, 0},
        {"in the headers", ListedBase + 0x10, 0},
        {"in the hardware layer, whose contents are not modelled", model::HalImageBase + 0x1000, 0},
        {"in no image", 0x1000, 0},
    };
    for (const auto& c : cases) {
        ULONG64 imageBase = 0x5EED;
        PRUNTIME_FUNCTION entry = RtlLookupFunctionEntry(c.ControlPc, &imageBase, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(entry), c.EntryRva != 0 ? ListedBase + c.EntryRva : 0)
            << c.Name;
        if (c.EntryRva != 0) {
            EXPECT_EQ(imageBase, ListedBase) << c.Name;
        }
    }
}

TEST_F(UnwindRoutines, VirtualUnwindRestoresTheCallerFromListedImage)
{
    ULONG64 imageBase = 0;
    PRUNTIME_FUNCTION entry = RtlLookupFunctionEntry(context_.Rip, &imageBase, nullptr);
    ASSERT_NE(entry, nullptr);
    PVOID handlerData = nullptr;
    ULONG64 establisher = 0;
    KNONVOLATILE_CONTEXT_POINTERS pointers = {};
    PEXCEPTION_ROUTINE handler = RtlVirtualUnwind(UNW_FLAG_UHANDLER, imageBase, context_.Rip, entry,
                                                  &context_, &handlerData, &establisher, &pointers);
    EXPECT_EQ(handler, nullptr);
    EXPECT_EQ(context_.Rip, 0xCA11E4u);
    EXPECT_EQ(context_.Rsp, reinterpret_cast<uintptr_t>(&stack_[6]));
    EXPECT_EQ(context_.Rbx, 0xB0B0u);
    EXPECT_EQ(pointers.IntegerContext[3], &stack_[4]);
    EXPECT_EQ(establisher, reinterpret_cast<uintptr_t>(&stack_[0]));
    EXPECT_EQ(model::LastUnwindFailure().Outcome, model::unwind::Status::Ok);
}

// The kernel's routine reads in place: memory it cannot read is a page
// fault, the bug check Windows raises for it (0x50 on a bad address, 0x0A
// at raised IRQL, where nothing pages in). Only a page that is paged out,
// below DISPATCH_LEVEL, would come in; the model ends the walk there.
TEST_F(UnwindRoutines, UnreadableDataIsAPageFaultUnlessItWouldPageIn)
{
    struct {
        const char* Name;
        bool PageOutUnwindData;
        uint64_t StackPointer;
        KIRQL Irql;
        ULONG BugCheck;  // 0: the walk ends with RIP 0
    } const cases[] = {
        {"unwind data paged out", true, reinterpret_cast<uintptr_t>(&stack_[0]), PASSIVE_LEVEL, 0},
        {"unwind data paged out at HIGH_LEVEL", true, reinterpret_cast<uintptr_t>(&stack_[0]),
         HIGH_LEVEL, 0x0A},
        {"stack pointer into unmapped memory", false, 0x10, PASSIVE_LEVEL, 0x50},
        {"stack pointer into unmapped memory at DISPATCH_LEVEL", false, 0x10, DISPATCH_LEVEL, 0x0A},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        StartMachine();
        model::SetImagePagesResident(listed_.Id(), XdataRva / model::ImagePageSize, 1,
                                     !c.PageOutUnwindData);
        ULONG64 imageBase = 0;
        PRUNTIME_FUNCTION entry = RtlLookupFunctionEntry(context_.Rip, &imageBase, nullptr);
        ASSERT_NE(entry, nullptr);
        CONTEXT context = context_;
        context.Rsp = c.StackPointer;
        PVOID handlerData = nullptr;
        ULONG64 establisher = 0;
        KIRQL old = KfRaiseIrql(c.Irql);
        bool returned = model::Guarded([&] {
            EXPECT_EQ(RtlVirtualUnwind(0, imageBase, context.Rip, entry, &context, &handlerData,
                                       &establisher, nullptr),
                      nullptr);
        });
        KeLowerIrql(old);
        EXPECT_EQ(returned, c.BugCheck == 0);
        EXPECT_EQ(model::Stopped(), c.BugCheck != 0);
        if (c.BugCheck != 0) {
            EXPECT_EQ(KiBugCheckData[0], c.BugCheck);
            EXPECT_EQ(TakeViolations().size(), 1u);
        } else {
            EXPECT_EQ(context.Rip, 0u);
            EXPECT_EQ(context.Rsp, c.StackPointer);
            EXPECT_EQ(context.Rbx, 0x1234u);
            EXPECT_EQ(model::LastUnwindFailure().Outcome, model::unwind::Status::BadMemory);
        }
    }
}

// Capturing here, the record must show this function's frame.
__attribute__((noinline)) uintptr_t CaptureHere(CONTEXT* context)
{
    RtlCaptureContext(context);
    return reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
}

TEST_F(UnwindRoutines, CaptureRecordsTheCallersRegisters)
{
    CONTEXT context = {};
    uintptr_t local = CaptureHere(&context);
    const auto function = reinterpret_cast<uintptr_t>(&CaptureHere);
    EXPECT_GT(context.Rip, function);
    EXPECT_LT(context.Rip, function + 0x400);
    // Just past the call: the caller's frame, around its locals.
    EXPECT_LT(context.Rsp - 0x400, local);
    EXPECT_LT(local, context.Rsp + 0x400);
    EXPECT_EQ(context.Rdi, reinterpret_cast<uintptr_t>(&context));
    EXPECT_EQ(context.MxCsr, _mm_getcsr());
    EXPECT_EQ(context.ContextFlags, static_cast<ULONG>(CONTEXT_FULL | CONTEXT_SEGMENTS));
    EXPECT_EQ(context.SegCs, 0x10);
    EXPECT_EQ(context.SegSs, 0x18);
}

// A driver whose bug check callback walks its own stack, as the report does.
class WalkingDriver : public model::DriverImage {
public:
    std::string Name() const override { return "walking"; }
    const void* EntryRoutine() const override { return reinterpret_cast<const void*>(Entry); }
    uint64_t Call(const model::DriverCall& call) override { return model::CallNativeRoutine(call); }

    static NTSTATUS NTAPI Entry(PDRIVER_OBJECT, PUNICODE_STRING)
    {
        KeRegisterBugCheckReasonCallback(&Record, Callback, KbCallbackSecondaryDumpData, Component);
        return STATUS_SUCCESS;
    }

    static VOID NTAPI Callback(KBUGCHECK_CALLBACK_REASON, PKBUGCHECK_REASON_CALLBACK_RECORD, PVOID,
                               ULONG)
    {
        CONTEXT context;
        RtlCaptureContext(&context);
        ULONG64 imageBase = 0;
        PRUNTIME_FUNCTION entry =
            RtlLookupFunctionEntry(ListedBase + RegisteredFunctionRva + 5, &imageBase, nullptr);
        uint64_t stack[8] = {0, 0, 0, 0, 0xB0B0, 0xCA11E4};
        context.Rsp = reinterpret_cast<uintptr_t>(stack);
        PVOID handlerData = nullptr;
        ULONG64 establisher = 0;
        RtlVirtualUnwind(UNW_FLAG_UHANDLER, imageBase, ListedBase + RegisteredFunctionRva + 5, entry,
                         &context, &handlerData, &establisher, nullptr);
        Unwound = context.Rip;
    }

    static inline uint64_t Unwound = 0;
    static inline KBUGCHECK_REASON_CALLBACK_RECORD Record = {};
    static inline UCHAR Component[8] = "walking";
};

TEST_F(UnwindRoutines, RoutinesServeTheReportDuringTheBugCheck)
{
    WalkingDriver driver;
    ASSERT_EQ(model::LoadDriver(driver), STATUS_SUCCESS);
    const ULONG_PTR parameters[4] = {};
    model::BugCheck(0xE2, parameters);
    EXPECT_EQ(WalkingDriver::Unwound, 0xCA11E4u);
    EXPECT_EQ(RoutineNames(model::CallsTo(
                  {"RtlCaptureContext", "RtlLookupFunctionEntry", "RtlVirtualUnwind"})),
              (std::vector<std::string>{"RtlCaptureContext", "RtlLookupFunctionEntry",
                                        "RtlVirtualUnwind"}));
    // TearDown fails the test on any violation: none may be raised.
}

}  // namespace
}  // namespace vektest
