// The register context and stack trace at the end of the crash report.
// Bug check only: runs inside the report callback at HIGH_LEVEL with the
// other processors stopped; allocates nothing, and takes no lock but the
// module map's (one lookup per frame).
#pragma once

#include "driver/kernel.h"

// Frame lines the trace prints at most.
constexpr ULONG MaxStackFrames = 20;

// Stack words shown on each frame line, from the frame's stack pointer up.
constexpr ULONG StackWordsShown = 4;

// The context block (25 lines). A fault ends the block at that line.
VOID PrintContext(const CONTEXT* Context);

// One stack line. ModuleName null: the line shows the bare return address.
VOID PrintStackFrame(ULONG64 ReturnAddress, ULONG64 StackPointer, const ULONG64* StackWords,
                     PCSTR ModuleName, ULONG_PTR ModuleOffset);

// The context block, "STACK:" and up to MaxStackFrames frames unwound from
// Context, which is rewritten frame by frame: on return it holds the last
// frame reached. A fault or an address that is not resident ends the trace
// without a line of its own.
VOID PrintContextAndStack(PCONTEXT Context);
