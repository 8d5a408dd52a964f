// Reads a console log one line at a time from a file descriptor, in
// constant memory: a fixed read buffer and a line of bounded length, so a
// multi-gigabyte log or one endless line of binary noise costs the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace decode {

struct LogLine {
    std::string_view Text;  // without the line feed and trailing CRs
    uint64_t Number = 0;    // 1-based
    bool Cut = false;       // longer than the bound; the rest was dropped
};

class LineReader {
public:
    // The longest report line is a module row with two 256-character names;
    // anything much longer is noise.
    static constexpr size_t MaxLineLength = 4096;
    static constexpr size_t ReadChunk = 1 << 16;

    explicit LineReader(int fd);
    // The next line, or false at the end of the input. A read error ends
    // the input as well; Failed() says so.
    bool Next(LogLine* line);
    bool Failed() const { return Failed_; }

private:
    bool Fill();

    int Fd_;
    std::vector<char> Buffer_;
    size_t Begin_ = 0;
    size_t End_ = 0;
    bool Eof_ = false;
    bool Failed_ = false;
    uint64_t Number_ = 0;
    std::vector<char> Line_;
};

}  // namespace decode
