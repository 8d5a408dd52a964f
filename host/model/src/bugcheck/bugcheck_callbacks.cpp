// Registration of bug check reason callbacks. The kernel links the caller's
// record into its list and keeps it there until deregistration, so the
// record must stay put; a record that is not empty (BufferEmpty) is refused,
// as the real kernel refuses it. Both routines may be called at any IRQL.
// A callback left registered when the driver goes away is named and dropped
// by the model: nothing may call into an image that is gone.
#include "memory/guest_memory.h"
#include "core/model_lock.h"

#include <algorithm>

using namespace model;

namespace {

// Enough of a component name for the call log.
constexpr size_t LoggedComponentLength = 64;

std::vector<RegisteredCallback>::iterator FindCallback(PKBUGCHECK_REASON_CALLBACK_RECORD record)
{
    auto& callbacks = State().BugCheckCallbacks;
    return std::find_if(callbacks.begin(), callbacks.end(),
                        [record](const RegisteredCallback& c) { return c.Record == record; });
}

}  // namespace

extern "C" BOOLEAN KeRegisterBugCheckReasonCallback(
    PKBUGCHECK_REASON_CALLBACK_RECORD CallbackRecord,
    PKBUGCHECK_REASON_CALLBACK_ROUTINE CallbackRoutine, KBUGCHECK_CALLBACK_REASON Reason,
    PUCHAR Component)
{
    KernelScope kernel;
    constexpr const char* Routine = "KeRegisterBugCheckReasonCallback";
    std::string component =
        Component != nullptr
            ? ReadNarrowText(Routine, reinterpret_cast<const char*>(Component), LoggedComponentLength)
            : "";
    auto fault = EnterRoutine(Routine, HIGH_LEVEL,
                              AtBugCheck::Forbidden,
                              "reason=" + std::to_string(Reason) + " component=" + component);
    if (CallbackRecord == nullptr || CallbackRoutine == nullptr) {
        Violation("KeRegisterBugCheckReasonCallback without a record or routine");
        return FALSE;
    }
    if (fault) {
        return FALSE;
    }
    KBUGCHECK_REASON_CALLBACK_RECORD record = ReadFromDriver(Routine, CallbackRecord);
    if (record.State != BufferEmpty || FindCallback(CallbackRecord) !=
                                           State().BugCheckCallbacks.end()) {
        return FALSE;
    }
    record.CallbackRoutine = CallbackRoutine;
    record.Component = Component;
    record.Reason = Reason;
    record.Checksum = reinterpret_cast<ULONG_PTR>(CallbackRoutine) +
                      reinterpret_cast<ULONG_PTR>(Component) + Reason;
    record.State = BufferInserted;
    WriteToDriver(Routine, CallbackRecord, record);
    State().BugCheckCallbacks.push_back(
        RegisteredCallback{CallbackRecord, CallbackRoutine, Component, Reason});
    return TRUE;
}

extern "C" BOOLEAN KeDeregisterBugCheckReasonCallback(
    PKBUGCHECK_REASON_CALLBACK_RECORD CallbackRecord)
{
    KernelScope kernel;
    EnterRoutine("KeDeregisterBugCheckReasonCallback", HIGH_LEVEL,
                 AtBugCheck::Forbidden);
    auto found = FindCallback(CallbackRecord);
    if (found == State().BugCheckCallbacks.end()) {
        return FALSE;
    }
    State().BugCheckCallbacks.erase(found);
    WriteToDriver("KeDeregisterBugCheckReasonCallback", &CallbackRecord->State,
                  static_cast<UCHAR>(BufferEmpty));
    return TRUE;
}

void model::DropCallbacksLeftBehind(const char* when)
{
    auto& callbacks = State().BugCheckCallbacks;
    for (const RegisteredCallback& callback : callbacks) {
        (void)callback;
        Violation("a bug check callback is still registered after %s", when);
    }
    // The record itself is not touched: it lies in the image's memory.
    callbacks.clear();
}
