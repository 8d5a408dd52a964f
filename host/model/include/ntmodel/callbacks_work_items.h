// Callback objects, work items and memory comparison (the power-state notification and what it
// starts).
// A part of the model kernel as the driver sees it; ntmodel/ntmodel.h
// includes every part, in order.
#pragma once

#include "ntmodel/processors.h"

typedef PVOID HANDLE;
typedef int64_t LONG_PTR;

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
static_assert(sizeof(OBJECT_ATTRIBUTES) == 48, "OBJECT_ATTRIBUTES layout");
static_assert(offsetof(OBJECT_ATTRIBUTES, ObjectName) == 16, "OBJECT_ATTRIBUTES layout");
static_assert(offsetof(OBJECT_ATTRIBUTES, Attributes) == 24, "OBJECT_ATTRIBUTES layout");

#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_PERMANENT 0x00000010L
#define InitializeObjectAttributes(p, n, a, r, s) \
    do {                                             \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);     \
        (p)->RootDirectory = (r);                    \
        (p)->Attributes = (a);                       \
        (p)->ObjectName = (n);                       \
        (p)->SecurityDescriptor = (s);               \
        (p)->SecurityQualityOfService = nullptr;     \
    } while (0)

// Argument1 of a "\Callback\PowerState" notification.
#define PO_CB_SYSTEM_POWER_POLICY 0
#define PO_CB_AC_STATUS 1
#define PO_CB_BUTTON_COLLISION 2
#define PO_CB_SYSTEM_STATE_LOCK 3
#define PO_CB_LID_SWITCH_STATE 4
#define PO_CB_PROCESSOR_POWER_POLICY 5

typedef struct _CALLBACK_OBJECT* PCALLBACK_OBJECT;
typedef VOID NTAPI CALLBACK_FUNCTION(PVOID CallbackContext, PVOID Argument1, PVOID Argument2);
typedef CALLBACK_FUNCTION* PCALLBACK_FUNCTION;

typedef struct _IO_WORKITEM* PIO_WORKITEM;
typedef VOID NTAPI IO_WORKITEM_ROUTINE(PDEVICE_OBJECT DeviceObject, PVOID Context);
typedef IO_WORKITEM_ROUTINE* PIO_WORKITEM_ROUTINE;

typedef enum _WORK_QUEUE_TYPE : int32_t {
    CriticalWorkQueue = 0,
    DelayedWorkQueue = 1,
    HyperCriticalWorkQueue = 2,
} WORK_QUEUE_TYPE;
static_assert(sizeof(WORK_QUEUE_TYPE) == 4, "WORK_QUEUE_TYPE is 32 bits");

extern "C" {
NTKERNELAPI NTSTATUS NTAPI ExCreateCallback(PCALLBACK_OBJECT* CallbackObject,
                                            POBJECT_ATTRIBUTES ObjectAttributes, BOOLEAN Create,
                                            BOOLEAN AllowMultipleCallbacks);
NTKERNELAPI PVOID NTAPI ExRegisterCallback(PCALLBACK_OBJECT CallbackObject,
                                           PCALLBACK_FUNCTION CallbackFunction,
                                           PVOID CallbackContext);
NTKERNELAPI VOID NTAPI ExUnregisterCallback(PVOID CallbackRegistration);
NTKERNELAPI LONG_PTR NTAPI ObfDereferenceObject(PVOID Object);

NTKERNELAPI PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject);
NTKERNELAPI VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem,
                                       PIO_WORKITEM_ROUTINE WorkerRoutine,
                                       WORK_QUEUE_TYPE QueueType, PVOID Context);
NTKERNELAPI VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem);

NTSYSAPI SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length);
}
