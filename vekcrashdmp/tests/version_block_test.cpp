// The version block as the crash report prints it.
#include "driver_test.h"

#include "report/version_block.h"

namespace vektest {
namespace {

class VersionBlockTest : public DriverTest {};

RTL_OSVERSIONINFOEXW Version(ULONG major, ULONG minor, ULONG build, ULONG platform,
                             USHORT spMajor, USHORT spMinor, const char16_t* csd,
                             USHORT suites, UCHAR type)
{
    RTL_OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    version.dwMajorVersion = major;
    version.dwMinorVersion = minor;
    version.dwBuildNumber = build;
    version.dwPlatformId = platform;
    for (size_t i = 0; csd[i] != 0; ++i) {
        version.szCSDVersion[i] = csd[i];
    }
    version.wServicePackMajor = spMajor;
    version.wServicePackMinor = spMinor;
    version.wSuiteMask = suites;
    version.wProductType = type;
    return version;
}

TEST_F(VersionBlockTest, PrintsKernelServicePackSuitesAndType)
{
    struct Case {
        const char* Name;
        RTL_OSVERSIONINFOEXW Version;
        const char* Expected;
    };
    const Case cases[] = {
        {"ServerWithTerminalServices", Version(10, 0, 17763, 2, 0, 0, u"", 0x0110, 3),
         "KERNEL: 10.0 (BUILD 17763) PLATFORM WIN32_NT (x64)\n"
         "SUITES:\n- TERMINAL\n- SINGLEUSERTS\nTYPE: SERVER\n"},
        {"NoSuites", Version(6, 1, 7601, 2, 0, 0, u"", 0, 1),
         "KERNEL: 6.1 (BUILD 7601) PLATFORM WIN32_NT (x64)\nSUITES:\nTYPE: WORKSTATION\n"},
        {"TopBitHasNoName", Version(6, 1, 7601, 2, 0, 0, u"", 0x8000, 1),
         "KERNEL: 6.1 (BUILD 7601) PLATFORM WIN32_NT (x64)\nSUITES:\n- UNKNOWN\nTYPE: WORKSTATION\n"},
        {"SuitesInBitOrder", Version(6, 1, 7601, 2, 0, 0, u"", 0x0111, 2),
         "KERNEL: 6.1 (BUILD 7601) PLATFORM WIN32_NT (x64)\nSUITES:\n- SMALLBUSINESS\n"
         "- TERMINAL\n- SINGLEUSERTS\nTYPE: DOMAIN_CONTROLLER\n"},
        {"UnknownPlatformAndType", Version(5, 2, 3790, 3, 0, 0, u"", 0, 4),
         "KERNEL: 5.2 (BUILD 3790) PLATFORM UNKNOWN (x64)\nSUITES:\nTYPE: UNKNOWN\n"},
        {"Win32sAndZeroType", Version(3, 10, 0, 0, 0, 0, u"", 0, 0),
         "KERNEL: 3.10 (BUILD 0) PLATFORM WIN32s (x64)\nSUITES:\nTYPE: UNKNOWN\n"},
        {"Win32Windows", Version(4, 90, 3000, 1, 0, 0, u"", 0, 1),
         "KERNEL: 4.90 (BUILD 3000) PLATFORM WIN32_WINDOWS (x64)\nSUITES:\nTYPE: WORKSTATION\n"},
        {"ServicePackTextWithoutNumberIsNotPrinted",
         Version(6, 1, 7601, 2, 0, 0, u"Service Pack 1", 0, 1),
         "KERNEL: 6.1 (BUILD 7601) PLATFORM WIN32_NT (x64)\nSUITES:\nTYPE: WORKSTATION\n"},
        {"MinorServicePackAlone", Version(6, 1, 7601, 2, 0, 1, u"Beta", 0, 1),
         "KERNEL: 6.1 (BUILD 7601) PLATFORM WIN32_NT (x64)\nSP: 0.1 (Beta)\nSUITES:\n"
         "TYPE: WORKSTATION\n"},
        {"ServicePackOne", Version(6, 1, 7601, 2, 1, 0, u"Service Pack 1", 0, 1),
         "KERNEL: 6.1 (BUILD 7601) PLATFORM WIN32_NT (x64)\nSP: 1.0 (Service Pack 1)\nSUITES:\n"
         "TYPE: WORKSTATION\n"},
        {"AllSuiteBits", Version(10, 0, 1, 2, 0, 0, u"", 0xFFFF, 3),
         "KERNEL: 10.0 (BUILD 1) PLATFORM WIN32_NT (x64)\nSUITES:\n- SMALLBUSINESS\n"
         "- ENTERPRISE\n- BACKOFFICE\n- COMMUNICATIONS\n- TERMINAL\n"
         "- SMALLBUSINESS_RESTRICTED\n- EMBEDDEDNT\n- DATACENTER\n- SINGLEUSERTS\n- PERSONAL\n"
         "- BLADE\n- EMBEDDED_RESTRICTED\n- SECURITY_APPLIANCE\n- STORAGE_SERVER\n"
         "- COMPUTE_SERVER\n- UNKNOWN\nTYPE: SERVER\n"},
    };
    for (const Case& item : cases) {
        UseMachine(DefaultMachine());
        PrintVersionBlock(&item.Version);
        EXPECT_EQ(Console(), item.Expected) << item.Name;
    }
}

TEST_F(VersionBlockTest, UnterminatedServicePackTextStaysInsideTheRecord)
{
    RTL_OSVERSIONINFOEXW version = Version(6, 1, 7601, 2, 1, 0, u"", 0, 1);
    for (WCHAR& unit : version.szCSDVersion) {
        unit = u'S';
    }
    PrintVersionBlock(&version);
    EXPECT_NE(Console().find("SP: 1.0 (" + std::string(127, 'S') + ")\n"), std::string::npos);
}

}  // namespace
}  // namespace vektest
