// Reads a console log one line at a time from a file descriptor, in
// constant memory: a fixed read buffer and a line of bounded length, so a
// multi-gigabyte log or one endless line of binary noise costs the same.
// Logs saved as UTF-16 (a Windows shell's redirect writes them) are turned
// into UTF-8 as they are read, and a log whose line ends are bare CRs is
// split at those.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace decode {

struct LogLine {
    std::string_view Text;  // without the line end and CRs around it
    uint64_t Number = 0;    // 1-based
    bool Cut = false;       // longer than the bound; the rest was dropped
    // The bytes the line was read from, its line end included, when they
    // stand whole in the input; empty for a cut line and one whose bytes
    // the reader passed over in part.
    std::string_view Raw;
    // The bytes the reader still holds of the lines before it (those since
    // its last read, and what that read kept), the line's own bytes right
    // after them: where a report whose start line is missing is looked
    // for. Empty for a cut line and one whose bytes the reader passed over
    // in part, and for lines made anywhere else.
    std::string_view Before;
    // False when the reader saw no byte of a marker in Text (see
    // MayHoldMarker): the scanner then skips the marker searches. Lines made
    // anywhere else keep true and are searched.
    bool MayHoldMarker = true;
};

enum class LogEncoding { Bytes, Utf16Le, Utf16Be };

class LineReader {
public:
    // The longest report line is a module row with two 256-character names;
    // anything much longer is noise.
    static constexpr size_t MaxLineLength = 4096;
    // Large reads keep the per-byte cost of passing over noise low: 256 KiB
    // took 2-6% less CPU time than 128 KiB on logs in page cache, and 512
    // KiB no less than 256 (the buffer outgrows the processor's L2 cache).
    static constexpr size_t ReadChunk = 1 << 18;
    // An input that may never end (a device, a pipe, a socket) and gives
    // this many NUL bytes in a row is no console: /dev/zero, or a disk.
    // A serial console at 115200 baud would take 25 minutes of nothing but
    // NULs to send them. A regular file always ends, and is read to its end.
    static constexpr size_t MaxNulRun = 16 << 20;

    // Searches a buffer for what may be a line of interest; see FindAnchor.
    using Finder = size_t (*)(const char* data, size_t size, char terminator, uint64_t* terminators);

    explicit LineReader(int fd);
    // The next line, or false at the end of the input. A read error ends
    // the input as well; Failed() says so.
    bool Next(LogLine* line);
    // The next line in which `find` sees something, passing over (and
    // counting) the lines before it unread.
    bool NextMatching(LogLine* line, Finder find);
    // The bytes read and not yet taken, at least Lookahead of them where a
    // regular file has them; only what was read already from any other
    // input, which may make a reader wait.
    static constexpr size_t Lookahead = 16 << 10;
    std::string_view Ahead();
    // Takes `lines` whole lines, `bytes` at the head of Ahead(), as Next
    // would have taken them one by one.
    void Skip(size_t bytes, uint64_t lines);
    // The line that begins at `at` in bytes of Ahead(), as Next would give
    // it (numbered 0), and where the line after it begins. Where the caller
    // found the line's first CR or LF already, `end` gives it and `marked`
    // whether a marker byte stands before it; npos has them looked for.
    // False where Next must read the line: an empty one, an overlong one,
    // or one whose line end the bytes read so far do not settle.
    static bool LineAt(std::string_view ahead, size_t at, size_t end, bool marked, LogLine* line, size_t* next);
    // The bytes of the lines before `line`, the last Next gave, at most
    // `most` of them, and the line's first byte after them: those the
    // reader holds, or with readAgain where it holds fewer, read again from
    // a regular file. Empty where the line's bytes are not known whole.
    // *fromStart: they begin where the log does.
    std::string_view Behind(const LogLine& line, size_t most, bool readAgain, bool* fromStart);
    uint64_t LinesTaken() const { return Number_; }
    bool Failed() const { return Failed_; }
    int Error() const { return Error_; }  // errno of the failed read, or 0
    // The input ended the reading as no console log (see MaxNulRun);
    // Failed() says so too.
    bool NotALog() const { return NotALog_; }
    LogEncoding Encoding() const { return Encoding_; }

private:
    // Moves the unread rest to the front and appends what the input gives.
    bool Fill();
    size_t ReadRaw(char* into, size_t room);
    // Counts the NUL bytes in a row the input has given; true, with the
    // input ended, once they pass MaxNulRun.
    bool EndsAsNoLog(const char* data, size_t size);
    void Sniff(const char* data, size_t size);
    // Bare CRs end the lines of a log whose first read has no LF.
    void ChooseTerminator(const char* data, size_t size);
    size_t Transcode(const char* raw, size_t size, char* out);

    int Fd_;
    std::vector<char> Buffer_;
    size_t Begin_ = 0;
    size_t End_ = 0;
    bool Eof_ = false;
    bool AfterLf_ = false;  // the last line taken ended with an LF
    bool Failed_ = false;
    int Error_ = 0;
    bool Endless_ = false;  // not a regular file: it may never end
    size_t NulRun_ = 0;     // NUL bytes just read, in a row
    bool NotALog_ = false;
    bool Sniffed_ = false;
    char Terminator_ = '\n';
    LogEncoding Encoding_ = LogEncoding::Bytes;
    std::vector<char> Raw_;     // UTF-16 input before transcoding
    size_t RawKept_ = 0;        // an odd byte or half a surrogate pair carried over
    uint64_t Number_ = 0;
    std::vector<char> Line_;
    // For Behind: the input's bytes moved out of the buffer's front so
    // far, where a regular file stood at the first read, and what was read
    // again.
    uint64_t Dropped_ = 0;
    off_t Start_ = -1;
    std::vector<char> Behind_;
};

}  // namespace decode
