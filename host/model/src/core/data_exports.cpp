// The variables the kernel exports (KiBugCheckData), each in page-aligned
// storage of its own. An emulated processor maps exactly these pages into
// the guest, so a driver that writes past a variable lands on a page the
// guest does not have (a page fault, a bug check) and never in the model's
// own data next to it.
#include "core/machine_state.h"

namespace {

struct alignas(model::DataExportPageSize) BugCheckDataPage {
    ULONG_PTR Values[5];
};
static_assert(sizeof(BugCheckDataPage) == model::DataExportPageSize, "one page, nothing else");

}  // namespace

extern "C" {
// The storage is the page; the exported name is its first 40 bytes.
BugCheckDataPage VekKiBugCheckDataPage;
extern ULONG_PTR KiBugCheckData[5] __attribute__((alias("VekKiBugCheckDataPage")));
}

namespace model {

const std::vector<DataExport>& ExportedData()
{
    static const std::vector<DataExport> data = {
        // All three are exported from Windows 2000 (0x0500) on.
        {"KiBugCheckData", KiBugCheckData, sizeof(KiBugCheckData), 0x0500},
        // Each with the record and objects it points at, on its page
        // (security.cpp).
        {"SeExports", SeExportsPageAddress(), DataExportPageSize, 0x0500},
        {"IoDeviceObjectType", DeviceObjectTypePageAddress(), DataExportPageSize, 0x0500},
    };
    return data;
}

const DataExport* FindData(const std::string& name)
{
    for (const DataExport& item : ExportedData()) {
        if (name == item.Name) {
            return &item;
        }
    }
    return nullptr;
}

}  // namespace model
