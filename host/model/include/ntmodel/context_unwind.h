// Context capture and unwinding.
// A part of the model kernel as the driver sees it; ntmodel/ntmodel.h
// includes every part, in order.
#pragma once

#include "ntmodel/callbacks_work_items.h"

typedef struct alignas(16) _M128A {
    ULONGLONG Low;
    LONGLONG High;
} M128A, *PM128A;
static_assert(sizeof(M128A) == 16, "M128A layout");

typedef struct alignas(16) _XMM_SAVE_AREA32 {
    USHORT ControlWord;
    USHORT StatusWord;
    UCHAR TagWord;
    UCHAR Reserved1;
    USHORT ErrorOpcode;
    ULONG ErrorOffset;
    USHORT ErrorSelector;
    USHORT Reserved2;
    ULONG DataOffset;
    USHORT DataSelector;
    USHORT Reserved3;
    ULONG MxCsr;
    ULONG MxCsr_Mask;
    M128A FloatRegisters[8];
    M128A XmmRegisters[16];
    UCHAR Reserved4[96];
} XMM_SAVE_AREA32;
static_assert(sizeof(XMM_SAVE_AREA32) == 512, "XMM_SAVE_AREA32 layout");

#define CONTEXT_AMD64 0x00100000L
#define CONTEXT_CONTROL (CONTEXT_AMD64 | 0x1L)
#define CONTEXT_INTEGER (CONTEXT_AMD64 | 0x2L)
#define CONTEXT_SEGMENTS (CONTEXT_AMD64 | 0x4L)
#define CONTEXT_FLOATING_POINT (CONTEXT_AMD64 | 0x8L)
#define CONTEXT_FULL (CONTEXT_CONTROL | CONTEXT_INTEGER | CONTEXT_FLOATING_POINT)

typedef struct alignas(16) _CONTEXT {
    ULONG64 P1Home;
    ULONG64 P2Home;
    ULONG64 P3Home;
    ULONG64 P4Home;
    ULONG64 P5Home;
    ULONG64 P6Home;
    ULONG ContextFlags;
    ULONG MxCsr;
    USHORT SegCs;
    USHORT SegDs;
    USHORT SegEs;
    USHORT SegFs;
    USHORT SegGs;
    USHORT SegSs;
    ULONG EFlags;
    ULONG64 Dr0;
    ULONG64 Dr1;
    ULONG64 Dr2;
    ULONG64 Dr3;
    ULONG64 Dr6;
    ULONG64 Dr7;
    ULONG64 Rax;
    ULONG64 Rcx;
    ULONG64 Rdx;
    ULONG64 Rbx;
    ULONG64 Rsp;
    ULONG64 Rbp;
    ULONG64 Rsi;
    ULONG64 Rdi;
    ULONG64 R8;
    ULONG64 R9;
    ULONG64 R10;
    ULONG64 R11;
    ULONG64 R12;
    ULONG64 R13;
    ULONG64 R14;
    ULONG64 R15;
    ULONG64 Rip;
    union {
        XMM_SAVE_AREA32 FltSave;
        struct {
            M128A Header[2];
            M128A Legacy[8];
            M128A Xmm0;
            M128A Xmm1;
            M128A Xmm2;
            M128A Xmm3;
            M128A Xmm4;
            M128A Xmm5;
            M128A Xmm6;
            M128A Xmm7;
            M128A Xmm8;
            M128A Xmm9;
            M128A Xmm10;
            M128A Xmm11;
            M128A Xmm12;
            M128A Xmm13;
            M128A Xmm14;
            M128A Xmm15;
        };
    };
    M128A VectorRegister[26];
    ULONG64 VectorControl;
    ULONG64 DebugControl;
    ULONG64 LastBranchToRip;
    ULONG64 LastBranchFromRip;
    ULONG64 LastExceptionToRip;
    ULONG64 LastExceptionFromRip;
} CONTEXT, *PCONTEXT;
static_assert(sizeof(CONTEXT) == 1232, "CONTEXT layout");
static_assert(offsetof(CONTEXT, ContextFlags) == 0x30, "CONTEXT layout");
static_assert(offsetof(CONTEXT, SegCs) == 0x38, "CONTEXT layout");
static_assert(offsetof(CONTEXT, EFlags) == 0x44, "CONTEXT layout");
static_assert(offsetof(CONTEXT, Rax) == 0x78, "CONTEXT layout");
static_assert(offsetof(CONTEXT, Rsp) == 0x98, "CONTEXT layout");
static_assert(offsetof(CONTEXT, Rip) == 0xF8, "CONTEXT layout");
static_assert(offsetof(CONTEXT, FltSave) == 0x100, "CONTEXT layout");
static_assert(offsetof(CONTEXT, Xmm0) == 0x1A0, "CONTEXT layout");
static_assert(offsetof(CONTEXT, VectorRegister) == 0x300, "CONTEXT layout");

// Where the unwinder found each nonvolatile register; entries follow the
// register numbering of the unwind codes (RAX, RCX, RDX, RBX, RSP, RBP, RSI,
// RDI, R8-R15; XMM0-XMM15).
typedef struct _KNONVOLATILE_CONTEXT_POINTERS {
    PM128A FloatingContext[16];
    PULONG64 IntegerContext[16];
} KNONVOLATILE_CONTEXT_POINTERS, *PKNONVOLATILE_CONTEXT_POINTERS;
static_assert(sizeof(KNONVOLATILE_CONTEXT_POINTERS) == 256, "context pointers layout");

// One entry of an image's exception directory (.pdata); image-relative.
typedef struct _RUNTIME_FUNCTION {
    ULONG BeginAddress;
    ULONG EndAddress;
    ULONG UnwindData;
} RUNTIME_FUNCTION, *PRUNTIME_FUNCTION;
static_assert(sizeof(RUNTIME_FUNCTION) == 12, "RUNTIME_FUNCTION layout");

#define UNWIND_HISTORY_TABLE_SIZE 12
typedef struct _UNWIND_HISTORY_TABLE_ENTRY {
    ULONG64 ImageBase;
    PRUNTIME_FUNCTION FunctionEntry;
} UNWIND_HISTORY_TABLE_ENTRY;
typedef struct _UNWIND_HISTORY_TABLE {
    ULONG Count;
    UCHAR LocalHint;
    UCHAR GlobalHint;
    UCHAR Search;
    UCHAR Once;
    ULONG64 LowAddress;
    ULONG64 HighAddress;
    UNWIND_HISTORY_TABLE_ENTRY Entry[UNWIND_HISTORY_TABLE_SIZE];
} UNWIND_HISTORY_TABLE, *PUNWIND_HISTORY_TABLE;
static_assert(sizeof(UNWIND_HISTORY_TABLE) == 216, "UNWIND_HISTORY_TABLE layout");

#define UNW_FLAG_NHANDLER 0x0
#define UNW_FLAG_EHANDLER 0x1
#define UNW_FLAG_UHANDLER 0x2
#define UNW_FLAG_CHAININFO 0x4

typedef enum _EXCEPTION_DISPOSITION : int32_t {
    ExceptionContinueExecution = 0,
    ExceptionContinueSearch = 1,
    ExceptionNestedException = 2,
    ExceptionCollidedUnwind = 3,
} EXCEPTION_DISPOSITION;

#define EXCEPTION_MAXIMUM_PARAMETERS 15
// ExceptionFlags: set while handlers run for an unwind, and in the frame the
// unwind ends at.
#define EXCEPTION_NONCONTINUABLE 0x01
#define EXCEPTION_UNWINDING 0x02
#define EXCEPTION_EXIT_UNWIND 0x04
#define EXCEPTION_TARGET_UNWIND 0x20

typedef struct _EXCEPTION_RECORD {
    NTSTATUS ExceptionCode;
    ULONG ExceptionFlags;
    struct _EXCEPTION_RECORD* ExceptionRecord;
    PVOID ExceptionAddress;
    ULONG NumberParameters;
    ULONG_PTR ExceptionInformation[EXCEPTION_MAXIMUM_PARAMETERS];
} EXCEPTION_RECORD, *PEXCEPTION_RECORD;
static_assert(sizeof(EXCEPTION_RECORD) == 152, "EXCEPTION_RECORD layout");
static_assert(offsetof(EXCEPTION_RECORD, ExceptionAddress) == 0x10, "EXCEPTION_RECORD layout");
static_assert(offsetof(EXCEPTION_RECORD, NumberParameters) == 0x18, "EXCEPTION_RECORD layout");
static_assert(offsetof(EXCEPTION_RECORD, ExceptionInformation) == 0x20, "EXCEPTION_RECORD layout");

// What a filter receives from GetExceptionInformation().
typedef struct _EXCEPTION_POINTERS {
    PEXCEPTION_RECORD ExceptionRecord;
    struct _CONTEXT* ContextRecord;
} EXCEPTION_POINTERS, *PEXCEPTION_POINTERS;
static_assert(sizeof(EXCEPTION_POINTERS) == 16, "EXCEPTION_POINTERS layout");

// A filter's verdict.
#define EXCEPTION_EXECUTE_HANDLER 1
#define EXCEPTION_CONTINUE_SEARCH 0
#define EXCEPTION_CONTINUE_EXECUTION (-1)

// The handler data of __C_specific_handler: the __try scopes of a function,
// innermost first, image-relative. HandlerAddress is a filter, the constant
// EXCEPTION_EXECUTE_HANDLER (1), or, with JumpTarget 0, a __finally block.
typedef struct _SCOPE_TABLE_AMD64 {
    ULONG Count;
    struct {
        ULONG BeginAddress;
        ULONG EndAddress;
        ULONG HandlerAddress;
        ULONG JumpTarget;
    } ScopeRecord[1];
} SCOPE_TABLE_AMD64, *PSCOPE_TABLE_AMD64, SCOPE_TABLE, *PSCOPE_TABLE;
static_assert(sizeof(SCOPE_TABLE) == 20, "SCOPE_TABLE layout");
static_assert(offsetof(SCOPE_TABLE, ScopeRecord) == 4, "SCOPE_TABLE layout");

// What the dispatcher hands a language handler about the frame it serves.
typedef struct _DISPATCHER_CONTEXT {
    ULONG64 ControlPc;
    ULONG64 ImageBase;
    PRUNTIME_FUNCTION FunctionEntry;
    ULONG64 EstablisherFrame;
    ULONG64 TargetIp;
    struct _CONTEXT* ContextRecord;
    PVOID LanguageHandler;
    PVOID HandlerData;
    PUNWIND_HISTORY_TABLE HistoryTable;
    ULONG ScopeIndex;
    ULONG Fill0;
} DISPATCHER_CONTEXT, *PDISPATCHER_CONTEXT;
static_assert(sizeof(DISPATCHER_CONTEXT) == 80, "DISPATCHER_CONTEXT layout");
static_assert(offsetof(DISPATCHER_CONTEXT, TargetIp) == 0x20, "DISPATCHER_CONTEXT layout");
static_assert(offsetof(DISPATCHER_CONTEXT, HandlerData) == 0x38, "DISPATCHER_CONTEXT layout");
static_assert(offsetof(DISPATCHER_CONTEXT, ScopeIndex) == 0x48, "DISPATCHER_CONTEXT layout");

typedef EXCEPTION_DISPOSITION NTAPI EXCEPTION_ROUTINE(struct _EXCEPTION_RECORD* ExceptionRecord,
                                                      PVOID EstablisherFrame,
                                                      struct _CONTEXT* ContextRecord,
                                                      PVOID DispatcherContext);
typedef EXCEPTION_ROUTINE* PEXCEPTION_ROUTINE;

extern "C" {
NTSYSAPI VOID NTAPI RtlCaptureContext(PCONTEXT ContextRecord);
NTSYSAPI PRUNTIME_FUNCTION NTAPI RtlLookupFunctionEntry(ULONG64 ControlPc, PULONG64 ImageBase,
                                                        PUNWIND_HISTORY_TABLE HistoryTable);
NTSYSAPI PEXCEPTION_ROUTINE NTAPI RtlVirtualUnwind(ULONG HandlerType, ULONG64 ImageBase,
                                                   ULONG64 ControlPc,
                                                   PRUNTIME_FUNCTION FunctionEntry,
                                                   PCONTEXT ContextRecord, PVOID* HandlerData,
                                                   PULONG64 EstablisherFrame,
                                                   PKNONVOLATILE_CONTEXT_POINTERS ContextPointers);
// Guarded work for the driver's RunGuarded: Routine(Context)'s status, or the
// exception code of a fault that ended it.
typedef NTSTATUS(NTAPI* ModelGuardedRoutine)(PVOID Context);
NTSTATUS ModelRunGuarded(ModelGuardedRoutine Routine, PVOID Context);

// The language handler of every function with __try scopes. The dispatcher
// applies the scope table itself; a direct call is a driver bug.
NTSYSAPI EXCEPTION_DISPOSITION NTAPI __C_specific_handler(PEXCEPTION_RECORD ExceptionRecord,
                                                          PVOID EstablisherFrame,
                                                          struct _CONTEXT* ContextRecord,
                                                          PVOID DispatcherContext);

// Processor instructions the kernel cannot intercept on real hardware,
// answered by the processor and hypervisor models.
void ModelCpuid(ULONG Leaf, ULONG Subleaf, ULONG Registers[4]);
BOOLEAN ModelReadMsr(ULONG Msr, ULONG64* Value);   // FALSE: the processor raises #GP
BOOLEAN ModelWriteMsr(ULONG Msr, ULONG64 Value);   // FALSE: the processor raises #GP
// The host build's #GP for an instruction the models refused (RDMSR or
// WRMSR of an MSR not offered): the bug check the kernel raises for it
// (0x1E, STATUS_PRIVILEGED_INSTRUCTION), as the emulated processor does;
// the driver's call ends inside it.
void ModelRefusedInstruction(void);
KIRQL ModelReadCr8(void);
void ModelWriteCr8(KIRQL Irql);
void ModelPause(void);
// The processor's fail-fast (int 29h, __fastfail): bug check 0x139 with the
// code, raised where the driver stands.
[[noreturn]] void ModelFailFast(ULONG Code);

// Processor port and device register access, answered by the device models.
UCHAR ModelPortReadByte(USHORT Port);
void ModelPortWriteByte(USHORT Port, UCHAR Value);
UCHAR ModelRegisterReadByte(const volatile UCHAR* Address);
void ModelRegisterWriteByte(volatile UCHAR* Address, UCHAR Value);
}
