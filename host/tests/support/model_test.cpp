#include "model_test.h"

namespace vektest {

const model::MachineConfig& DefaultMachine()
{
    static const model::MachineConfig machine;
    return machine;
}

void ModelTest::StartMachine(const model::MachineConfig& config)
{
    model::ResetMachine(config);
    expectedViolations_ = 0;
}

std::vector<std::string> ModelTest::TakeViolations()
{
    const auto& all = model::Violations();
    std::vector<std::string> taken(all.begin() + static_cast<long>(expectedViolations_), all.end());
    expectedViolations_ = all.size();
    return taken;
}

void ModelTest::TearDown()
{
    const auto& all = model::Violations();
    for (size_t i = expectedViolations_; i < all.size(); ++i) {
        ADD_FAILURE() << "model violation: " << all[i];
    }
}

std::vector<std::string> RoutineNames(const std::vector<model::KernelCall>& calls)
{
    std::vector<std::string> names;
    for (const auto& call : calls) {
        names.push_back(call.Routine);
    }
    return names;
}

NTSTATUS LastDocumentedStatus(const char* routine)
{
    return model::FindRoutine(routine)->Statuses.back().Code;
}

std::unique_ptr<model::DriverImage> OpenDriverImage()
{
    std::string error;
    auto image = model::OpenHostImage(model::DefaultHostImagePath(), &error);
    if (!image) {
        ADD_FAILURE() << error;
    }
    return image;
}

}  // namespace vektest
