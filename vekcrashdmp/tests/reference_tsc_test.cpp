// The rated frequency read from brand strings (the rules' own cases and
// real processors' strings), and the reference TSC page rebuilt from it,
// read back the way a guest reads it.
#include "driver_test.h"

#include "hypervisor/brand_frequency.h"
#include "hypervisor/reference_tsc.h"

#include "model/hypervisor.h"

#include <cstring>

namespace vektest {
namespace {

ULONG64 Parse(const std::string& text)
{
    CHAR brand[BrandStringLength] = {};
    std::memcpy(brand, text.data(), std::min<size_t>(text.size(), BrandStringLength));
    return ParseBrandStringFrequency(brand);
}

TEST(BrandStringFrequencyTest, RulesOfTheWalk)
{
    struct Case {
        const char* Brand;
        ULONG64 Hertz;
    };
    const Case cases[] = {
        {"Vek Virtual Processor @ 2.50GHz", 2500000000},
        {"Some CPU 3400MHz", 3400000000},
        {"Some CPU 1.875GHz", 1875000000},
        {"Some CPU 2.GHz", 2000000000},
        {"Some CPU 1THz", 1000000000000},
        // A space between number and unit: the integer is read from the unit.
        {"Some CPU 3.0 GHz", 0},
        // Case matters.
        {"Some CPU 2.50ghz", 0},
        {"Some CPU 2.50Ghz", 0},
        // The rightmost unit wins.
        {"Bus 100MHz Core 3.20GHz", 3200000000},
        {"Core 3.20GHz Bus 100MHz", 100000000},
        // A further point to the left replaces the fraction.
        {"x 1.2.5GHz", 1200000000},
        // Too short for a number and a unit, or the unit at the very start.
        {"", 0},
        {"GHz", 0},
        {"GHz CPU", 0},
        {"2GHz", 2000000000},
        // Digits from the first byte, no space before them: the first digit
        // counts.
        {"12GHz", 12000000000},
        {"2.5GHz", 2500000000},
        // The digits directly before the point or the unit, whatever byte
        // precedes them; no whole part is no frequency.
        {"x @2.60GHz", 2600000000},
        {"x (1.6GHz)", 1600000000},
        {"x-3.2GHz", 3200000000},
        {"x #750MHz", 750000000},
        {"x @.60GHz", 0},
        {"x @.GHz", 0},
        {"x @GHz", 0},
        // No sign is read; a whole part beyond 32 bits saturates.
        {"x +2GHz", 2000000000},
        {"x -1GHz", 1000000000},
        {"x 99999999999MHz", 0xFFFFFFFFull * 1000000},
        // Beyond 64 bits: no frequency rather than a wrapped one.
        {"x 99999999999THz", 0},
        {"x 1.99999999999THz", 0},
        {"A name that ends in a model word", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Parse(c.Brand), c.Hertz) << '"' << c.Brand << '"';
    }
}

TEST(BrandStringFrequencyTest, RealProcessors)
{
    struct Case {
        const char* Brand;
        ULONG64 Hertz;
    };
    const Case cases[] = {
        {"Intel(R) Xeon(R) Platinum 8272CL CPU @ 2.60GHz", 2600000000},
        {"Intel(R) Xeon(R) CPU E5-2673 v4 @ 2.30GHz", 2300000000},
        {"Intel(R) Xeon(R) Platinum 8370C CPU @ 2.80GHz", 2800000000},
        {"Intel(R) Core(TM) i7-8700K CPU @ 3.70GHz", 3700000000},
        {"Intel(R) Core(TM)2 Duo CPU     E8400  @ 3.00GHz", 3000000000},
        {"Intel(R) Pentium(R) 4 CPU 3.00GHz", 3000000000},
        {"Intel(R) Atom(TM) CPU N270   @ 1.60GHz", 1600000000},
        {"      Intel(R) Celeron(R) CPU 847 @ 1.10GHz", 1100000000},
        {"Mobile Intel(R) Pentium(R) III CPU - M  1133MHz", 1133000000},
        {"Intel(R) Xeon(R) Gold 6348 CPU @ 2.60GHz", 2600000000},
        {"Intel(R) Xeon(R) CPU @2.60GHz", 2600000000},
        {"Intel(R) Xeon(R) CPU @ 2.20GHz", 2200000000},
        {"Genuine Intel(R) CPU 0000 @ 2.40GHz", 2400000000},
        {"VIA Nano processor U2250 (1.6GHz Capable)", 1600000000},
        {"VIA Esther processor 1500MHz", 1500000000},
        {"VIA Nano X2 U4025 @ 1.2+ GHz", 0},
        {"Intel(R) Core(TM) i9-12900K", 0},
        {"12th Gen Intel(R) Core(TM) i7-1260P", 0},
        {"13th Gen Intel(R) Core(TM) i9-13900K", 0},
        {"Intel(R) Xeon(R) Platinum 8480C", 0},
        {"AMD EPYC 7763 64-Core Processor", 0},
        {"AMD EPYC 7452 32-Core Processor", 0},
        {"AMD Ryzen 9 5950X 16-Core Processor", 0},
        {"AMD Ryzen 7 PRO 4750U with Radeon Graphics", 0},
        {"AMD Opteron(tm) Processor 6174", 0},
        {"AMD Athlon(tm) 64 X2 Dual Core Processor 4200+", 0},
        {"AMD A10-7850K Radeon R7, 12 Compute Cores 4C+8G", 0},
        {"AMD Phenom(tm) II X4 965 Processor", 0},
        {"QEMU Virtual CPU version 2.5+", 0},
        {"Common KVM processor", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Parse(c.Brand), c.Hertz) << '"' << c.Brand << '"';
    }
}

// The J1900's string fills all 48 bytes: its unit reaches byte 47.
TEST(BrandStringFrequencyTest, AStringFillingAll48BytesIsReadToItsEnd)
{
    std::string brand = "Intel(R) Celeron(R) CPU         J1900  @ 1.99GHz";
    ASSERT_EQ(brand.size(), BrandStringLength);
    EXPECT_EQ(Parse(brand), 1990000000u);
}

constexpr uint64_t PagePhysical = 0x7FF00000;

class ReferenceTscTest : public DriverTest {
protected:
    // A machine whose processor calls itself Brand, with RAM at the page.
    void UseBrand(const std::string& brand, bool mapExPresent = true)
    {
        model::MachineConfig config = DefaultMachine();
        config.ProcessorBrand = brand;
        config.Ram.push_back(model::PhysicalRam{PagePhysical, ReferenceTscPageSize});
        config.Routines["MmMapIoSpaceEx"] = mapExPresent;
        UseMachine(config);
    }

    // The page's bytes as RAM holds them, through a mapping of its own.
    static ReferenceTscPage ReadPage()
    {
        ReferenceTscPage copy;
        void* page = MmMapIoSpace(Physical(), sizeof(copy), MmCached);
        EXPECT_NE(page, nullptr);
        std::memcpy(&copy, page, sizeof(copy));
        MmUnmapIoSpace(page, sizeof(copy));
        return copy;
    }

    static void WritePage(ULONG sequence, ULONG64 scale, LONGLONG offset)
    {
        auto* page = static_cast<ReferenceTscPage*>(MmMapIoSpace(Physical(), sizeof(ReferenceTscPage), MmCached));
        ASSERT_NE(page, nullptr);
        std::memset(page, 0xA5, sizeof(*page));
        page->TscSequence = sequence;
        page->TscScale = scale;
        page->TscOffset = offset;
        MmUnmapIoSpace(page, sizeof(ReferenceTscPage));
    }

    static PHYSICAL_ADDRESS Physical()
    {
        PHYSICAL_ADDRESS address;
        address.QuadPart = PagePhysical;
        return address;
    }

    // The reserved bytes past the fields, which nobody writes.
    static bool ReservedUntouched(const ReferenceTscPage& page)
    {
        for (UCHAR byte : page.Reserved2) {
            if (byte != 0xA5) {
                return false;
            }
        }
        return page.Reserved1 == 0xA5A5A5A5;
    }
};

// Reference time in 100 ns units for a TSC running at the brand's rate, as
// a guest reads it from the page, against the exact TSC * 10^7 / f. The
// scale keeps 32 bits of quotient, so the time may run slow by
// time / quotient, and the 64-bit shift truncates one unit more.
TEST_F(ReferenceTscTest, GuestTimeFromTheRebuiltPageMatchesTheRatedFrequency)
{
    struct Case {
        const char* Brand;
        uint64_t Hertz;
    };
    const Case cases[] = {
        {"Vek Virtual Processor @ 2.50GHz", 2500000000},
        {"Intel(R) Xeon(R) Platinum 8272CL CPU @ 2.60GHz", 2600000000},
        {"Intel(R) Core(TM) i7-8700K CPU @ 3.70GHz", 3700000000},
        {"Mobile Intel(R) Pentium(R) III CPU - M  1133MHz", 1133000000},
        {"Intel(R) Xeon(R) CPU @2.60GHz", 2600000000},
        {"VIA Nano processor U2250 (1.6GHz Capable)", 1600000000},
        {"Embedded @ 10.5MHz", 10500000},
        {"Fast @ 1THz", 1000000000000},
    };
    const uint64_t seconds[] = {0, 1, 60, 3600, 86400 * 365ull};
    for (const Case& c : cases) {
        UseBrand(c.Brand);
        WritePage(5, 0, 77);
        RebuildReferenceTscPage(PagePhysical | ReferenceTscEnable);
        ReferenceTscPage page = ReadPage();
        ASSERT_EQ(page.TscSequence, 6u) << c.Brand;
        ASSERT_EQ(page.TscOffset, 0) << c.Brand;
        uint64_t quotient = page.TscScale >> 32;
        ASSERT_NE(quotient, 0u) << c.Brand;
        EXPECT_EQ(page.TscScale & 0xFFFFFFFFu, 0u) << c.Brand;
        for (uint64_t s : seconds) {
            unsigned __int128 wide = static_cast<unsigned __int128>(c.Hertz) * s;
            if (wide >> 64 != 0) {
                continue;
            }
            auto tsc = static_cast<uint64_t>(wide);
            unsigned __int128 exact = static_cast<unsigned __int128>(tsc) * 10000000 / c.Hertz;
            std::optional<uint64_t> time = model::ReferenceTimeFromPage(PagePhysical, tsc);
            ASSERT_TRUE(time.has_value()) << c.Brand;
            ASSERT_LE(*time, exact) << c.Brand << ", " << s << " s";
            ASSERT_LE(exact - *time, exact / quotient + 1) << c.Brand << ", " << s << " s";
        }
        EXPECT_TRUE(ReservedUntouched(page)) << c.Brand;
        EXPECT_EQ(model::LiveIoMappings(), 0u);
    }
}

TEST_F(ReferenceTscTest, TheWorkedExampleGivesItsScale)
{
    UseBrand("Vek Virtual Processor @ 2.50GHz");
    WritePage(1, 0, 0);
    RebuildReferenceTscPage(PagePhysical | ReferenceTscEnable);
    EXPECT_EQ(ReadPage().TscScale, 0x010624DD00000000u);
    // Through the routine the brand leaves spell.
    EXPECT_EQ(BrandStringFrequency(), 2500000000u);
}

// The hypervisor's TSC frequency gives the exact scale, 10^7 * 2^64 / f
// truncated, whatever the brand string says; at 10 MHz and below there is
// no 64-bit scale and the page is marked invalid.
TEST_F(ReferenceTscTest, HypervisorFrequencyGivesTheExactScale)
{
    struct Case {
        uint64_t Hertz;
        uint64_t Scale;  // 0: page invalid
    };
    const Case cases[] = {
        {2500000000, 0x010624DD2F1A9FBE},  // the TLFS's own example
        {2593906000, 0x00FCA75A30276115},
        {10000001, 0xFFFFFE5280D924C8},
        {10000000, 0},
        {0xFFFFFFFFFFFFFFFF, 0x0000000000989680},
    };
    for (const Case& c : cases) {
        UseBrand("Intel(R) Xeon(R) Platinum 8272CL CPU @ 2.60GHz");
        WritePage(5, 0, 77);
        RebuildReferenceTscPage(PagePhysical | ReferenceTscEnable, c.Hertz);
        ReferenceTscPage page = ReadPage();
        EXPECT_EQ(page.TscSequence, c.Scale != 0 ? 6u : 0u) << c.Hertz;
        EXPECT_EQ(page.TscScale, c.Scale) << c.Hertz;  // an invalid page keeps its 0
    }
}

TEST_F(ReferenceTscTest, SequenceMovesOnAndSkipsZeroAndAllOnes)
{
    struct Case {
        ULONG Stored, Expected;
    };
    const Case cases[] = {{5, 6}, {0, 1}, {1, 2}, {0xFFFFFFFD, 0xFFFFFFFE}, {0xFFFFFFFE, 1}, {0xFFFFFFFF, 1}};
    for (const Case& c : cases) {
        UseBrand("Vek Virtual Processor @ 2.50GHz");
        WritePage(c.Stored, 0, 0);
        RebuildReferenceTscPage(PagePhysical | ReferenceTscEnable);
        EXPECT_EQ(ReadPage().TscSequence, c.Expected) << std::hex << c.Stored;
    }
}

// No usable frequency: the page is marked invalid and its scale and offset
// keep what they held. At 10 MHz and below the scale would lose its top
// bits (10 MHz and 5 MHz counters would get scale 0, a clock that never
// moves) under a valid sequence.
TEST_F(ReferenceTscTest, NoUsableFrequencyMarksThePageInvalidAndKeepsTheRest)
{
    const char* brands[] = {
        "AMD EPYC 7763 64-Core Processor",
        "Some CPU 3.0 GHz",
        "Intel(R) Xeon(R) CPU @.60GHz",
        "Slow @ 999Hz",
        "Slow @ 0.0009MHz",
        "Slow @ 5.00MHz",
        "Slow @ 9.999MHz",
        "Slow @ 10MHz",
    };
    for (const char* brand : brands) {
        UseBrand(brand);
        WritePage(9, 0x1234, -5);
        RebuildReferenceTscPage(PagePhysical | ReferenceTscEnable);
        ReferenceTscPage page = ReadPage();
        EXPECT_EQ(page.TscSequence, 0u) << brand;
        EXPECT_EQ(page.TscScale, 0x1234u) << brand;
        EXPECT_EQ(page.TscOffset, -5) << brand;
        EXPECT_FALSE(model::ReferenceTimeFromPage(PagePhysical, 1000).has_value()) << brand;
        EXPECT_TRUE(ReservedUntouched(page)) << brand;
    }
}

TEST_F(ReferenceTscTest, ADisabledRegisterOrAFailedMappingWritesNothing)
{
    struct Case {
        const char* What;
        ULONG64 Saved;
        bool FailMapping;
        size_t Mappings;
    };
    const Case cases[] = {
        {"enable bit clear", PagePhysical, false, 0},
        {"enable bit clear, reserved bits set", PagePhysical | 0xFFE, false, 0},
        {"mapping fails", PagePhysical | ReferenceTscEnable, true, 1},
    };
    for (const Case& c : cases) {
        UseBrand("Vek Virtual Processor @ 2.50GHz");
        WritePage(7, 0x42, 3);
        if (c.FailMapping) {
            std::string error;
            ASSERT_TRUE(model::InjectFault(model::Fault{"MmMapIoSpaceEx"}, &error)) << error;
        }
        RebuildReferenceTscPage(c.Saved);
        EXPECT_EQ(model::CallsTo({"MmMapIoSpaceEx"}).size(), c.Mappings) << c.What;
        ReferenceTscPage page = ReadPage();
        EXPECT_EQ(page.TscSequence, 7u) << c.What;
        EXPECT_EQ(page.TscScale, 0x42u) << c.What;
        EXPECT_EQ(page.TscOffset, 3) << c.What;
    }
}

TEST_F(ReferenceTscTest, WithoutMapIoSpaceExThePageIsMappedCached)
{
    UseBrand("Vek Virtual Processor @ 2.50GHz", false);
    WritePage(1, 0, 0);
    RebuildReferenceTscPage(PagePhysical | 0xFFE | ReferenceTscEnable);
    ReferenceTscPage page = ReadPage();
    EXPECT_EQ(page.TscSequence, 2u);
    EXPECT_EQ(page.TscScale, 0x010624DD00000000u);
    EXPECT_EQ(model::LiveIoMappings(), 0u);
}

}  // namespace
}  // namespace vektest
