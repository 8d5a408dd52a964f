// The shipped image behind the model's DriverImage interface.
#include "runner/sys_image.h"

#include "runner/layout.h"
#include "runner/pe_image.h"

#include "model/image_registry.h"
#include "model/unwind.h"

namespace runner {

namespace {

// What the emulated processor sees of memory: the unwinding routines read
// the guest's stack through it, so an address the guest cannot read is
// refused, never read on the host.
class GuestMemory final : public model::unwind::MemoryReader {
public:
    bool Read(uint64_t address, void* buffer, size_t size) const override
    {
        return size == 0 || uc_mem_read(Emulator::Instance().Engine(), address, buffer, size) == UC_ERR_OK;
    }
};

// RtlCaptureContext called by the image: the emulated processor's registers
// at the import call, whose stack pointer addresses the return address.
bool CaptureGuestContext(CONTEXT* context, void*)
{
    uc_engine* uc = Emulator::Instance().Engine();
    static const int Registers[] = {UC_X86_REG_RAX, UC_X86_REG_RCX, UC_X86_REG_RDX, UC_X86_REG_RBX,
                                    UC_X86_REG_RSP, UC_X86_REG_RBP, UC_X86_REG_RSI, UC_X86_REG_RDI,
                                    UC_X86_REG_R8,  UC_X86_REG_R9,  UC_X86_REG_R10, UC_X86_REG_R11,
                                    UC_X86_REG_R12, UC_X86_REG_R13, UC_X86_REG_R14, UC_X86_REG_R15};
    for (unsigned i = 0; i < 16; ++i) {
        uc_reg_read(uc, Registers[i], &model::unwind::IntegerRegister(*context, i));
    }
    for (unsigned i = 0; i < 16; ++i) {
        uc_reg_read(uc, UC_X86_REG_XMM0 + static_cast<int>(i), &context->FltSave.XmmRegisters[i]);
    }
    uint64_t flags = 0;
    uint32_t mxcsr = 0;
    uc_reg_read(uc, UC_X86_REG_RFLAGS, &flags);
    uc_reg_read(uc, UC_X86_REG_MXCSR, &mxcsr);
    context->EFlags = static_cast<ULONG>(flags);
    context->MxCsr = mxcsr;
    context->FltSave.MxCsr = mxcsr;
    uint64_t returnAddress = 0;
    if (uc_mem_read(uc, context->Rsp, &returnAddress, sizeof(returnAddress)) == UC_ERR_OK) {
        context->Rip = returnAddress;
    }
    context->Rsp += sizeof(returnAddress);
    return true;
}

// Images of the shipped driver in use: the capture and the reader serve
// them, and the host build's code again once none is left.
int ImagesOpen = 0;
const GuestMemory TheGuestMemory;

void ServeGuestCode()
{
    if (ImagesOpen++ == 0) {
        model::SetContextCapture(CaptureGuestContext, nullptr);
        model::SetGuestMemoryReader(&TheGuestMemory);
    }
}

void StopServingGuestCode()
{
    if (--ImagesOpen == 0) {
        model::SetContextCapture(nullptr, nullptr);
        model::SetGuestMemoryReader(nullptr);
    }
}

class SysImage : public model::DriverImage {
public:
    SysImage(std::unique_ptr<PeImage> image, std::string path,
             model::ImageRegistration registration)
        : image_(std::move(image)), path_(std::move(path)), registration_(std::move(registration))
    {
        ServeGuestCode();
    }

    ~SysImage() override
    {
        StopServingGuestCode();
        registration_.Reset();
        Emulator& emulator = Emulator::Instance();
        emulator.UnmapImage(*image_);
        emulator.Detach();
    }

    std::string Name() const override { return path_; }

    const void* EntryRoutine() const override
    {
        return reinterpret_cast<const void*>(image_->Address() + image_->EntryRva());
    }

    uint64_t Call(const model::DriverCall& call) override
    {
        return Emulator::Instance().Call(
            reinterpret_cast<uintptr_t>(call.Routine),
            std::vector<uint64_t>(call.Arguments, call.Arguments + call.ArgumentCount),
            call.What);
    }

    const void* ExportedRoutine(const std::string& name) const override
    {
        return reinterpret_cast<const void*>(image_->ExportAddress(name));
    }

    bool PageOut(const void* address) override
    {
        auto at = reinterpret_cast<uintptr_t>(address);
        if (!Emulator::Instance().PageOut(*image_, at)) {
            return false;
        }
        // The kernel's own reads of the image (the unwinding routines') go
        // through the registry, which must see the page out too.
        model::SetImagePagesResident(registration_.Id(), (at - image_->Address()) / PageSize, 1, false);
        return true;
    }

private:
    std::unique_ptr<PeImage> image_;
    std::string path_;
    model::ImageRegistration registration_;
};

// Maps the image at address (or a free slot above), binds its imports and
// lists it where it really lies.

std::unique_ptr<model::DriverImage> OpenImageAt(const std::string& path, uint64_t address,
                                                std::string* error)
{
    std::unique_ptr<PeImage> image = PeImage::Load(path, address, ImageSlotSize, error);
    if (!image) {
        return nullptr;
    }
    Emulator& emulator = Emulator::Instance();
    // The kernel the driver's calls return into, mapped before the first
    // image runs.
    if (!emulator.MapKernel(model::DefaultKernelImagePath(), error)) {
        return nullptr;
    }
    if (!emulator.MapImage(*image, error)) {
        return nullptr;
    }
    // The kernel lists the image where it really lies.
    model::ImageDescription listing;
    listing.Name = path.substr(path.find_last_of('/') + 1);
    listing.Base = image->Address();
    listing.Size = image->Size();
    listing.MappedBytes = image->Base();
    model::ImageRegistration registration = model::RegisterImage(std::move(listing), error);
    if (!registration.Registered()) {
        emulator.UnmapImage(*image);
        return nullptr;
    }
    // Kernel memory and routine addresses go through the emulator from the
    // moment the image exists until it is gone.
    emulator.Attach();
    return std::make_unique<SysImage>(std::move(image), path, std::move(registration));
}

}  // namespace

std::unique_ptr<model::DriverImage> OpenSysImage(const std::string& path, std::string* error)
{
    return OpenImageAt(path, DriverImageAddress, error);
}

std::unique_ptr<model::DriverImage> OpenTestDriver(const std::string& path, std::string* error)
{
    return OpenImageAt(path, TestDriverImageAddress, error);
}

void SetQuantum(uint64_t blocks)
{
    Emulator::Instance().SetQuantum(blocks);
}

const RunnerStats& Stats()
{
    return Emulator::Instance().Stats();
}

}  // namespace runner
