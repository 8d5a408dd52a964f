// Symbol paths as people write them, and a PDB reader that hangs, dies or
// grows: the report's frames come back unsymbolized with a note, in
// bounded time and memory.
#include "decode/symbols/symbol_path.h"
#include "decode/symbols/symbolizer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using decode::SymbolPathEntry;

TEST(SymbolPath, ReadsFoldersServersAndCaches)
{
    struct Case {
        const char* Text;
        std::vector<SymbolPathEntry> Entries;  // empty: refused
    };
    const std::vector<Case> cases = {
        {"a;;b", {{"a", {}}, {"b", {}}}},
        {"srv*C*http://s/", {{"C", {"http://s"}}}},
        {"srv*http://s", {{"DEF", {"http://s"}}}},
        {"SRV*C*http://a*https://b", {{"C", {"http://a", "https://b"}}}},
        {"cache*D;srv*http://s;srv**http://t", {{"D", {}}, {"D", {"http://s"}}, {"D", {"http://t"}}}},
        {"symsrv*symsrv.dll*C*http://s", {{"C", {"http://s"}}}},
        {"srv*C*ftp://s", {}},
        {"bogus*x", {}},
        {"cache*", {}},
    };
    for (const Case& c : cases) {
        std::vector<SymbolPathEntry> entries;
        std::string error;
        bool parsed = decode::ParseSymbolPath(c.Text, "DEF", &entries, &error);
        EXPECT_EQ(parsed, !c.Entries.empty()) << c.Text << ": " << error;
        if (!parsed) {
            continue;
        }
        ASSERT_EQ(entries.size(), c.Entries.size()) << c.Text;
        for (size_t i = 0; i < entries.size(); ++i) {
            EXPECT_EQ(entries[i].Folder, c.Entries[i].Folder) << c.Text;
            EXPECT_EQ(entries[i].Urls, c.Entries[i].Urls) << c.Text;
        }
    }
}

#ifdef VEK_SYS_PDB
TEST(Symbolizer, AReaderThatHangsOrDiesLeavesTheFramesUnsymbolized)
{
    std::optional<decode::FileIdentity> identity = decode::ReadPdbIdentity(VEK_SYS_PDB);
    ASSERT_TRUE(identity);
    struct Case {
        const char* Script;
        const char* Note;
        bool Bounded = false;  // asks for the bound on the reader's memory
    };
    const Case cases[] = {
        {"exec sleep 600", "no answer within"},
        {"exit 3", "the PDB reader stopped"},
        {"read line; echo '[{\"function\": \"F\", \"start\": 4096}]'; exec sleep 600",
         "no answer within"},
        // A reader that maps more than its bound (never touched, so the
        // machine never holds it) and would then wait: it stops at once.
        {"exec python3 -c 'import mmap, time; m = mmap.mmap(-1, 6 << 30); time.sleep(600)'",
         "the PDB reader stopped", true},
    };
    for (const Case& c : cases) {
        if (c.Bounded && !decode::Symbolizer::BoundsReaderMemory) {
            continue;  // a sanitizer's build runs its reader unbounded
        }
        fs::path tool = fs::temp_directory_path() / ("vekcrash-tool-" + std::to_string(::getpid()));
        std::ofstream(tool) << "#!/bin/sh\n" << c.Script << "\n";
        fs::permissions(tool, fs::perms::owner_all);
        decode::SymbolIndex index({{fs::path(VEK_SYS_PDB).parent_path().string(), {}}});
        decode::CrashReport report;
        report.Modules.push_back({"vekcrashdmp.sys", "", identity->Guid, identity->Age});
        for (uint64_t offset : {0x1010u, 0x2020u}) {
            decode::Frame frame;
            frame.HasModule = true;
            frame.Module = "vekcrashdmp.sys";
            frame.Offset = offset;
            report.Frames.push_back(frame);
        }
        {
            decode::Symbolizer symbolizer(index, tool.string());
            symbolizer.Resolve(&report);
        }
        fs::remove(tool);
        std::string notes;
        for (const std::string& note : report.Unsymbolized) {
            notes += note + "\n";
        }
        EXPECT_NE(notes.find(c.Note), std::string::npos) << c.Script << ": " << notes;
        EXPECT_TRUE(report.Frames[1].Symbols.empty()) << c.Script;
    }
}
#endif

}  // namespace
