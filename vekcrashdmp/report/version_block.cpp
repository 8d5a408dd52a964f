// Prints the version record kept in the device extension. Runs inside the
// bug check; prints from a private copy on the stack and queries nothing.
#include "report/version_block.h"
#include "console/report_print.h"
#include "driver/bytes.h"

namespace {

constexpr ULONG SuiteBitCount = 16;

// Names of the wSuiteMask bits, from bit 0 upward (the kit's VER_SUITE_
// constants without the prefix). Bit 15 has no name of its own.
constexpr PCSTR SuiteNames[SuiteBitCount] = {
    "SMALLBUSINESS",   "ENTERPRISE",          "BACKOFFICE",         "COMMUNICATIONS",
    "TERMINAL",        "SMALLBUSINESS_RESTRICTED", "EMBEDDEDNT",     "DATACENTER",
    "SINGLEUSERTS",    "PERSONAL",            "BLADE",              "EMBEDDED_RESTRICTED",
    "SECURITY_APPLIANCE", "STORAGE_SERVER",   "COMPUTE_SERVER",     "UNKNOWN",
};

constexpr PCSTR UnknownText = "UNKNOWN";

PCSTR PlatformName(ULONG PlatformId)
{
    switch (PlatformId) {
    case 0:
        return "WIN32s";
    case 1:
        return "WIN32_WINDOWS";
    case 2:
        return "WIN32_NT";
    default:
        return UnknownText;
    }
}

PCSTR ProductTypeName(UCHAR ProductType)
{
    switch (ProductType) {
    case 1:
        return "WORKSTATION";
    case 2:
        return "DOMAIN_CONTROLLER";
    case 3:
        return "SERVER";
    default:
        return UnknownText;
    }
}

} // namespace

VOID PrintVersionBlock(const RTL_OSVERSIONINFOEXW* Version)
{
    RTL_OSVERSIONINFOEXW copy;
    CopyBytes(&copy, Version, sizeof(copy));
    // The service pack text is printed up to its terminator; make sure it
    // has one within the field.
    copy.szCSDVersion[ARRAYSIZE(copy.szCSDVersion) - 1] = 0;

    ReportPrint(ReportLevelCrash, "KERNEL: %d.%d (BUILD %d) PLATFORM %s (x64)\n",
                copy.dwMajorVersion, copy.dwMinorVersion, copy.dwBuildNumber,
                PlatformName(copy.dwPlatformId));

    if (copy.wServicePackMajor != 0 || copy.wServicePackMinor != 0) {
        ReportPrint(ReportLevelCrash, "SP: %d.%d (%ws)\n", ULONG{copy.wServicePackMajor},
                    ULONG{copy.wServicePackMinor}, copy.szCSDVersion);
    }

    ReportPrint(ReportLevelCrash, "SUITES:\n");
    ULONG suites = copy.wSuiteMask;
    for (ULONG bit = 0; bit < SuiteBitCount && (suites >> bit) != 0; ++bit) {
        if ((suites & (1u << bit)) != 0) {
            ReportPrint(ReportLevelCrash, "- %s\n", SuiteNames[bit]);
        }
    }

    ReportPrint(ReportLevelCrash, "TYPE: %s\n", ProductTypeName(copy.wProductType));
}
