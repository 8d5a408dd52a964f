// The report line formatter: a small printf for the crash report and the
// restore outcome line. It builds one line in ReportLine and sends it to
// the console byte by byte. No pool, no lock, no kernel routine, no
// floating point: it runs inside the bug check.
#pragma once

#include "driver/kernel.h"

// Lines longer than Text go out in pieces; nothing is dropped.
constexpr ULONG ReportLineCapacity = 259;
// Most format items (plain characters or conversions) one call handles.
constexpr ULONG MaxReportItems = 256;

// Level given with every crash report line; the level does not change the
// output.
constexpr ULONG ReportLevelCrash = 0x80000000;

struct ReportLineBuffer {
    CHAR Text[ReportLineCapacity];
    ULONG Length;  // bytes of Text in use; 0 between calls
};

// One instance, shared by every caller. Callers never overlap: the crash
// report runs with the other processors stopped, and the outcome line is
// printed once per resume from a work item.
extern ReportLineBuffer ReportLine;

// Formats one line and sends it. Conversions: %d %u %x %X %o %p %c %s %ws
// %Z %wZ, flag '-', a leading '0', a width and "ll" for 64-bit values.
VOID ReportPrint(ULONG Level, PCSTR Format, ...);

VOID ReportPrintArgs(ULONG Level, ULONG ItemLimit, PCSTR Format, va_list Arguments);

// Writes the digits of Value in Base (8, 10 or 16) followed by a NUL;
// returns the position of the NUL.
PCHAR AppendDigits(PCHAR Destination, ULONG64 Value, ULONG Base, BOOLEAN UpperCase);
