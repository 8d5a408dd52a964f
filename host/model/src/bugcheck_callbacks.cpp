// Registration of bug check reason callbacks. The kernel links the caller's
// record into its list and keeps it there until deregistration, so the
// record must stay put; a record that is not empty (BufferEmpty) is refused,
// as the real kernel refuses it. Both routines may be called at any IRQL.
// A callback left registered when the driver goes away is named and dropped
// by the model: nothing may call into an image that is gone.
#include "machine_state.h"

#include <algorithm>

using namespace model;

namespace {

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
    std::string component = Component != nullptr ? reinterpret_cast<const char*>(Component) : "";
    auto fault = EnterRoutine("KeRegisterBugCheckReasonCallback", HIGH_LEVEL,
                              AtBugCheck::Forbidden,
                              "reason=" + std::to_string(Reason) + " component=" + component);
    if (CallbackRecord == nullptr || CallbackRoutine == nullptr) {
        Violation("KeRegisterBugCheckReasonCallback without a record or routine");
        return FALSE;
    }
    if (fault) {
        return FALSE;
    }
    if (CallbackRecord->State != BufferEmpty || FindCallback(CallbackRecord) !=
                                                    State().BugCheckCallbacks.end()) {
        return FALSE;
    }
    CallbackRecord->CallbackRoutine = CallbackRoutine;
    CallbackRecord->Component = Component;
    CallbackRecord->Reason = Reason;
    CallbackRecord->Checksum = reinterpret_cast<ULONG_PTR>(CallbackRoutine) +
                               reinterpret_cast<ULONG_PTR>(Component) + Reason;
    CallbackRecord->State = BufferInserted;
    State().BugCheckCallbacks.push_back(
        RegisteredCallback{CallbackRecord, CallbackRoutine, Component, Reason});
    return TRUE;
}

extern "C" BOOLEAN KeDeregisterBugCheckReasonCallback(
    PKBUGCHECK_REASON_CALLBACK_RECORD CallbackRecord)
{
    auto fault = EnterRoutine("KeDeregisterBugCheckReasonCallback", HIGH_LEVEL,
                              AtBugCheck::Forbidden);
    if (fault) {
        return FALSE;
    }
    auto found = FindCallback(CallbackRecord);
    if (found == State().BugCheckCallbacks.end()) {
        return FALSE;
    }
    State().BugCheckCallbacks.erase(found);
    CallbackRecord->State = BufferEmpty;
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
