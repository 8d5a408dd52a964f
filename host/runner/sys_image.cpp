// The shipped image behind the model's DriverImage interface.
#include "runner/sys_image.h"

#include "runner/pe_image.h"

namespace runner {

namespace {

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
