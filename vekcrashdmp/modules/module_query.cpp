// The module information query. The kernel's own routine answers where it
// exists; otherwise the answer is built from the system module list, which
// may grow between the size query and the data query, so the fetch repeats
// with the length the kernel last asked for.
#include "modules/module_query.h"
#include "driver/bytes.h"

ModuleQueryStateRecord ModuleQueryState;

namespace {

constexpr ULONG MinimumMajorVersion = 5;
constexpr ULONG ElementAlignment = 8;

// Paged pool, null instead of a quota raise, zero-filled: 0x409.
constexpr ULONG ScratchPoolType = PagedPool | 0x8 | 0x400;
// 'AuxK' as a pool dump shows it.
constexpr ULONG ScratchPoolTag = 0x4B787541;
// The scratch buffer is freed without a tag check, as it was allocated by
// the quota routine.
constexpr ULONG UncheckedTag = 0;

static_assert(ScratchPoolType == 1033, "scratch pool type");

} // namespace

_Use_decl_annotations_
NTSTATUS InitializeModuleQuery()
{
    if (ModuleQueryState.Initialised != 0) {
        return STATUS_SUCCESS;
    }
    ULONG major = 0;
    PsGetVersion(&major, nullptr, nullptr, nullptr);
    if (major < MinimumMajorVersion) {
        return STATUS_NOT_SUPPORTED;
    }
    UNICODE_STRING routineName;
    RtlInitUnicodeString(&routineName, WIDE("RtlQueryModuleInformation"));
    // Two first calls at once would store the same values: no lock.
    ModuleQueryState.KernelRoutine =
        reinterpret_cast<RtlQueryModuleInformationRoutine>(MmGetSystemRoutineAddress(&routineName));
    AtomicExchange(&ModuleQueryState.Initialised, 1);
    return STATUS_SUCCESS;
}

NTSTATUS CopySystemModuleReply(const RTL_PROCESS_MODULES* Reply, ULONG ReplyLength,
                               ULONG ElementSize, PVOID Buffer, PULONG BufferSize)
{
    constexpr ULONG HeaderLength = offsetof(RTL_PROCESS_MODULES, Modules);
    constexpr ULONG RecordLength = sizeof(RTL_PROCESS_MODULE_INFORMATION);
    if (ReplyLength < HeaderLength) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    const auto* records = reinterpret_cast<const RTL_PROCESS_MODULE_INFORMATION*>(
        reinterpret_cast<const UCHAR*>(Reply) + HeaderLength);
    // Never past the reply's buffer, whatever its count says.
    ULONG count = Reply->NumberOfModules;
    if (count > (ReplyLength - HeaderLength) / RecordLength) {
        count = (ReplyLength - HeaderLength) / RecordLength;
    }
    ULONG64 needed64 = static_cast<ULONG64>(count) * ElementSize;
    if (needed64 > 0xFFFFFFFFull) {
        return STATUS_INTEGER_OVERFLOW;
    }
    ULONG needed = static_cast<ULONG>(needed64);
    NTSTATUS status = STATUS_SUCCESS;
    if (Buffer != nullptr) {
        if (*BufferSize < needed) {
            status = STATUS_BUFFER_TOO_SMALL;
        } else {
            auto* out = static_cast<UCHAR*>(Buffer);
            for (ULONG i = 0; i < count; ++i) {
                const RTL_PROCESS_MODULE_INFORMATION& module = records[i];
                if (ElementSize == ModuleBaseElementSize) {
                    CopyBytes(out + static_cast<SIZE_T>(i) * ElementSize, &module.ImageBase,
                              sizeof(module.ImageBase));
                    continue;
                }
                // The alignment bytes at the end of each element are left as
                // they are.
                auto* element = reinterpret_cast<ModuleExtendedInfo*>(
                    out + static_cast<SIZE_T>(i) * ElementSize);
                element->BasicInfo.ImageBase = module.ImageBase;
                element->ImageSize = module.ImageSize;
                element->FileNameOffset = module.OffsetToFileName;
                CopyBytes(element->FullPathName, module.FullPathName,
                          sizeof(element->FullPathName));
            }
        }
    }
    *BufferSize = needed;
    return status;
}

_Use_decl_annotations_
NTSTATUS QueryModuleInformation(PULONG BufferSize, ULONG ElementSize, PVOID Buffer)
{
    if (ModuleQueryState.Initialised != 1) {
        return STATUS_UNSUCCESSFUL;
    }
    if (ModuleQueryState.KernelRoutine != nullptr) {
        // The kernel checks its own arguments.
        return ModuleQueryState.KernelRoutine(BufferSize, ElementSize, Buffer);
    }
    if (ElementSize != ModuleBaseElementSize && ElementSize != ModuleExtendedElementSize) {
        return STATUS_INVALID_PARAMETER_2;
    }
    if (reinterpret_cast<ULONG_PTR>(Buffer) % ElementAlignment != 0) {
        return STATUS_INVALID_PARAMETER_3;
    }

    // Room for one image on the stack: a system with a single module needs
    // no pool.
    RTL_PROCESS_MODULES stackReply;
    RTL_PROCESS_MODULES* reply = &stackReply;
    ULONG replyLength = sizeof(stackReply);
    PVOID scratch = nullptr;
    ULONG returned = 0;
    NTSTATUS status =
        ZwQuerySystemInformation(SystemModuleInformation, reply, replyLength, &returned);
    while (status == STATUS_INFO_LENGTH_MISMATCH) {
        if (scratch != nullptr) {
            ExFreePoolWithTag(scratch, UncheckedTag);
        }
        scratch = ExAllocatePoolWithQuotaTag(static_cast<POOL_TYPE>(ScratchPoolType), returned,
                                             ScratchPoolTag);
        if (scratch == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        reply = static_cast<RTL_PROCESS_MODULES*>(scratch);
        replyLength = returned;
        status = ZwQuerySystemInformation(SystemModuleInformation, reply, replyLength,
                                          &returned);
    }
    if (NT_SUCCESS(status)) {
        NTSTATUS copied =
            CopySystemModuleReply(reply, replyLength, ElementSize, Buffer, BufferSize);
        if (!NT_SUCCESS(copied)) {
            status = copied;
        }
    }
    if (scratch != nullptr) {
        ExFreePoolWithTag(scratch, UncheckedTag);
    }
    return status;
}
