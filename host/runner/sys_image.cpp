// The shipped image behind the model's DriverImage interface.
#include "runner/sys_image.h"

#include "runner/pe_image.h"

namespace runner {

namespace {

uint64_t Slot(const void* pointer)
{
    return reinterpret_cast<uintptr_t>(pointer);
}

class SysImage : public model::DriverImage {
public:
    SysImage(std::unique_ptr<PeImage> image, std::string path)
        : image_(std::move(image)), path_(std::move(path))
    {
    }

    ~SysImage() override
    {
        Emulator& emulator = Emulator::Instance();
        emulator.UnmapImage(*image_);
        emulator.Detach();
    }

    std::string Name() const override { return path_; }

    NTSTATUS CallEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) override
    {
        uint64_t result = Emulator::Instance().Call(image_->Address() + image_->EntryRva(),
                                                    {Slot(driverObject), Slot(registryPath)},
                                                    "the entry routine");
        return static_cast<NTSTATUS>(static_cast<uint32_t>(result));
    }

    void CallUnload(PDRIVER_UNLOAD routine, PDRIVER_OBJECT driverObject) override
    {
        Emulator::Instance().Call(Slot(reinterpret_cast<const void*>(routine)),
                                  {Slot(driverObject)}, "the unload routine");
    }

    void CallBugCheckCallback(PKBUGCHECK_REASON_CALLBACK_ROUTINE routine,
                              KBUGCHECK_CALLBACK_REASON reason,
                              PKBUGCHECK_REASON_CALLBACK_RECORD record, PVOID data,
                              ULONG dataLength) override
    {
        Emulator::Instance().Call(Slot(reinterpret_cast<const void*>(routine)),
                                  {static_cast<uint64_t>(reason), Slot(record), Slot(data),
                                   dataLength},
                                  "the bug check callback");
    }

private:
    std::unique_ptr<PeImage> image_;
    std::string path_;
};

}  // namespace

std::unique_ptr<model::DriverImage> OpenSysImage(const std::string& path, std::string* error)
{
    std::unique_ptr<PeImage> image = PeImage::Load(path, error);
    if (!image) {
        return nullptr;
    }
    Emulator& emulator = Emulator::Instance();
    if (!emulator.MapImage(*image, error)) {
        return nullptr;
    }
    // Kernel memory and routine addresses go through the emulator from the
    // moment the image exists until it is gone.
    emulator.Attach();
    return std::make_unique<SysImage>(std::move(image), path);
}

const RunnerStats& Stats()
{
    return Emulator::Instance().Stats();
}

}  // namespace runner
