// Line splitting for console logs: LF ends a line, CRs around it (from a
// terminal's CR LF, LF CR or a doubled CR) are dropped, and an overlong line
// keeps its first MaxLineLength bytes. A log with CRs and no LF in its first
// read is split at the CRs when passed over; the lines of a report end at
// whichever of CR and LF ends each. UTF-16 is recognised by its byte order mark or,
// without one, by the zero high bytes of its ASCII text.
#include "decode/logs/line_reader.h"
#include "decode/logs/marker_search.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace decode {

namespace {

std::string_view TrimLineEnds(std::string_view text)
{
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) {
        text.remove_suffix(1);
    }
    while (!text.empty() && (text.front() == '\r' || text.front() == '\n')) {
        text.remove_prefix(1);
    }
    return text;
}

// UTF-8 of a UTF-16 code point is at most this many bytes per code unit.
constexpr size_t Utf8PerUnit = 3;

size_t PutUtf8(uint32_t point, char* out)
{
    if (point < 0x80) {
        out[0] = static_cast<char>(point);
        return 1;
    }
    if (point < 0x800) {
        out[0] = static_cast<char>(0xC0 | point >> 6);
        out[1] = static_cast<char>(0x80 | (point & 0x3F));
        return 2;
    }
    if (point < 0x10000) {
        out[0] = static_cast<char>(0xE0 | point >> 12);
        out[1] = static_cast<char>(0x80 | (point >> 6 & 0x3F));
        out[2] = static_cast<char>(0x80 | (point & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | point >> 18);
    out[1] = static_cast<char>(0x80 | (point >> 12 & 0x3F));
    out[2] = static_cast<char>(0x80 | (point >> 6 & 0x3F));
    out[3] = static_cast<char>(0x80 | (point & 0x3F));
    return 4;
}

}  // namespace

LineReader::LineReader(int fd) : Fd_(fd), Buffer_(ReadChunk + MaxLineLength + 1)
{
    Line_.reserve(MaxLineLength);
    struct stat status;
    Endless_ = fstat(fd, &status) != 0 || !S_ISREG(status.st_mode);
    Start_ = Endless_ ? -1 : ::lseek(fd, 0, SEEK_CUR);
}

std::string_view LineReader::Behind(const LogLine& line, size_t most, bool readAgain, bool* fromStart)
{
    *fromStart = false;
    const std::string_view held = line.Before;
    if (held.data() == nullptr) {
        return std::string_view();
    }
    // The line's first byte follows (a line whose bytes are known is not
    // empty), for a caller that splits the lines before it.
    constexpr size_t Own = 1;
    if (held.size() >= most) {
        return std::string_view(held.data() + held.size() - most, most + Own);
    }
    if (Dropped_ == 0) {
        *fromStart = true;  // nothing was moved out of the buffer yet
        return std::string_view(held.data(), held.size() + Own);
    }
    if (!readAgain || Start_ < 0 || Encoding_ != LogEncoding::Bytes) {
        return std::string_view(held.data(), held.size() + Own);
    }
    // Read again from the file, where the bytes held end as they do: a log
    // written over since it was read has only what is held.
    const uint64_t lineAt = static_cast<uint64_t>(Start_) + Dropped_ + held.size();
    const size_t want = static_cast<size_t>(std::min<uint64_t>(most, lineAt - static_cast<uint64_t>(Start_)));
    Behind_.resize(want + Own);
    size_t got = 0;
    while (got < Behind_.size()) {
        const ssize_t n = ::pread(Fd_, Behind_.data() + got, Behind_.size() - got,
                                  static_cast<off_t>(lineAt - want + got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    if (got != Behind_.size() ||
        std::memcmp(Behind_.data() + want - held.size(), held.data(), held.size() + Own) != 0) {
        return std::string_view(held.data(), held.size() + Own);
    }
    *fromStart = lineAt - want == static_cast<uint64_t>(Start_);
    return std::string_view(Behind_.data(), Behind_.size());
}

bool LineReader::EndsAsNoLog(const char* data, size_t size)
{
    size_t text = size;
    while (text > 0 && data[text - 1] == 0) {
        --text;
    }
    NulRun_ = text == 0 ? NulRun_ + size : size - text;
    if (NulRun_ <= MaxNulRun) {
        return false;
    }
    NotALog_ = true;
    Failed_ = true;
    Eof_ = true;
    return true;
}

size_t LineReader::ReadRaw(char* into, size_t room)
{
    while (!Eof_) {
        ssize_t got = ::read(Fd_, into, room);
        if (got > 0) {
            if (Endless_ && EndsAsNoLog(into, static_cast<size_t>(got))) {
                return 0;
            }
            return static_cast<size_t>(got);
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        Failed_ = got < 0;
        Error_ = got < 0 ? errno : 0;
        Eof_ = true;
    }
    return 0;
}

void LineReader::Sniff(const char* data, size_t size)
{
    Sniffed_ = true;
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    if (size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        Encoding_ = LogEncoding::Utf16Le;
    } else if (size >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
        Encoding_ = LogEncoding::Utf16Be;
    } else {
        // ASCII text as UTF-16 has a zero in every other byte; noise or a
        // run of NULs does not have that pattern in both halves at once.
        constexpr size_t SniffPairs = 256;
        constexpr size_t MinimumPairs = 4;
        size_t pairs = std::min(size / 2, SniffPairs);
        size_t asciiThenZero = 0;
        size_t zeroThenAscii = 0;
        for (size_t i = 0; i < pairs; ++i) {
            bool first = bytes[2 * i] == 0;
            bool second = bytes[2 * i + 1] == 0;
            asciiThenZero += !first && second ? 1 : 0;
            zeroThenAscii += first && !second ? 1 : 0;
        }
        // Nine in ten pairs leave room for a few non-Latin characters.
        if (pairs >= MinimumPairs && asciiThenZero * 10 >= pairs * 9) {
            Encoding_ = LogEncoding::Utf16Le;
        } else if (pairs >= MinimumPairs && zeroThenAscii * 10 >= pairs * 9) {
            Encoding_ = LogEncoding::Utf16Be;
        }
    }
    if (Encoding_ != LogEncoding::Bytes) {
        Raw_.resize(ReadChunk / 2);
    }
}

size_t LineReader::Transcode(const char* raw, size_t size, char* out)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(raw);
    bool little = Encoding_ == LogEncoding::Utf16Le;
    size_t written = 0;
    size_t i = 0;
    auto unit = [&](size_t at) {
        return little ? static_cast<uint32_t>(bytes[at] | bytes[at + 1] << 8)
                      : static_cast<uint32_t>(bytes[at] << 8 | bytes[at + 1]);
    };
    while (i + 2 <= size) {
        uint32_t point = unit(i);
        size_t used = 2;
        if (point >= 0xD800 && point < 0xDC00) {
            if (i + 4 > size && !Eof_) {
                break;  // the pair's second half comes with the next read
            }
            uint32_t low = i + 4 <= size ? unit(i + 2) : 0;
            if (low >= 0xDC00 && low < 0xE000) {
                point = 0x10000 + ((point - 0xD800) << 10) + (low - 0xDC00);
                used = 4;
            } else {
                point = 0xFFFD;
            }
        } else if (point >= 0xDC00 && point < 0xE000) {
            point = 0xFFFD;
        }
        // A byte order mark anywhere (a log appended to by several
        // redirects) carries no text.
        if (point != 0xFEFF) {
            written += PutUtf8(point, out + written);
        }
        i += used;
    }
    RawKept_ = size - i;
    std::memmove(Raw_.data(), raw + i, RawKept_);
    return written;
}

void LineReader::ChooseTerminator(const char* data, size_t size)
{
    if (std::memchr(data, '\n', size) == nullptr && std::memchr(data, '\r', size) != nullptr) {
        Terminator_ = '\r';
    }
}

bool LineReader::Fill()
{
    if (Eof_) {
        return false;
    }
    if (Begin_ != 0) {
        Dropped_ += Begin_;
        std::memmove(Buffer_.data(), Buffer_.data() + Begin_, End_ - Begin_);
        End_ -= Begin_;
        Begin_ = 0;
    }
    size_t room = std::min(ReadChunk, Buffer_.size() - End_);
    for (;;) {
        if (Encoding_ == LogEncoding::Bytes) {
            // The first read may turn out to be UTF-16, which grows by half
            // as UTF-8: it takes half the room.
            size_t got = ReadRaw(Buffer_.data() + End_, Sniffed_ ? room : room / 2);
            if (got == 0) {
                return false;
            }
            if (!Sniffed_) {
                Sniff(Buffer_.data() + End_, got);
                if (Encoding_ != LogEncoding::Bytes) {
                    // Start over on the bytes read as UTF-16.
                    std::memcpy(Raw_.data(), Buffer_.data() + End_, got);
                    RawKept_ = got;
                    size_t made = Transcode(Raw_.data(), RawKept_, Buffer_.data() + End_);
                    ChooseTerminator(Buffer_.data() + End_, made);
                    End_ += made;
                    if (made == 0) {
                        continue;
                    }
                    return true;
                }
                ChooseTerminator(Buffer_.data() + End_, got);
            }
            End_ += got;
            return true;
        }
        size_t rawRoom = std::min(Raw_.size(), room * 2 / Utf8PerUnit) - RawKept_;
        size_t got = ReadRaw(Raw_.data() + RawKept_, rawRoom);
        size_t made = Transcode(Raw_.data(), RawKept_ + got, Buffer_.data() + End_);
        End_ += made;
        if (made != 0) {
            return true;
        }
        if (got == 0) {
            return false;
        }
    }
}

namespace {

// The first CR or LF: inside a report either ends a line, since a log can
// change its line ends mid-report (a second writer, a terminal switched
// over).
// Both bytes in one pass: two memchr calls a line, the second over the
// bytes the first passed, were a tenth of reading a report's lines. The
// marker bytes are noted in that pass too.
size_t FindLineEnd(const char* text, size_t size, bool* marked)
{
    return FindLineEndNotingMarkers(text, size, marked);
}

// Past one line end at `at`: CRs, at most one LF, and the CRs of an LF CR
// pair; a blank line between two line ends stays a line.
size_t SkipLineEnd(const char* text, size_t size, size_t at)
{
    while (at < size && text[at] == '\r') {
        ++at;
    }
    if (at < size && text[at] == '\n') {
        ++at;
        while (at < size && text[at] == '\r' && !(at + 1 < size && text[at + 1] == '\n')) {
            ++at;
        }
    }
    return at;
}

}  // namespace

std::string_view LineReader::Ahead()
{
    if (End_ - Begin_ < Lookahead && !Endless_) {
        Fill();
    }
    return {Buffer_.data() + Begin_, End_ - Begin_};
}

void LineReader::Skip(size_t bytes, uint64_t lines)
{
    if (bytes == 0) {
        return;
    }
    Begin_ += bytes;
    Number_ += lines;
    AfterLf_ = Buffer_[Begin_ - 1] == '\n';
}

bool LineReader::LineAt(std::string_view ahead, size_t at, size_t end, bool marked, LogLine* line, size_t* next)
{
    const char* start = ahead.data() + at;
    size_t available = ahead.size() - at;
    size_t length = end == std::string_view::npos ? FindLineEnd(start, available, &marked) : end - at;
    if (length == 0 || length > MaxLineLength || length == available) {
        return false;
    }
    // A byte past the line end stopped SkipLineEnd, so each of its steps
    // saw the byte it asked about.
    size_t after = SkipLineEnd(start, available, length);
    if (after >= available) {
        return false;
    }
    line->Text = std::string_view(start, length);
    line->Number = 0;
    line->Cut = false;
    line->Raw = std::string_view(start, after);
    line->Before = std::string_view();
    line->MayHoldMarker = marked;
    *next = at + after;
    return true;
}

bool LineReader::Next(LogLine* line)
{
    bool cut = false;
    bool whole = true;  // no byte of the line passed over
    for (;;) {
        const char* start = Buffer_.data() + Begin_;
        size_t available = End_ - Begin_;
        bool marked = true;
        size_t end = FindLineEnd(start, available, &marked);
        // The CR of an LF CR pair that came with the next read.
        if (AfterLf_ && end == 0 && available != 0 && start[0] == '\r' &&
            !(available > 1 && start[1] == '\n')) {
            ++Begin_;
            AfterLf_ = false;
            whole = false;
            continue;
        }
        // A CR last in what was read may be the first half of CR LF: read
        // on before taking it (an LF is taken at once, for a reader that
        // waits on a pipe for the next report).
        bool ended = end < available && (start[end] == '\n' || end + 1 < available || Eof_ || cut);
        if (ended) {
            size_t length = end;
            size_t next = SkipLineEnd(start, available, end);
            AfterLf_ = start[next - 1] == '\n';
            Begin_ += next;
            if (cut) {
                break;  // the end of an overlong line: its head is in Line_
            }
            if (length > MaxLineLength) {
                length = MaxLineLength;
                cut = true;
            }
            // No CR or LF stands before the first one found: nothing to trim.
            line->Text = std::string_view(start, length);
            line->Number = ++Number_;
            line->Cut = cut;
            line->Raw = whole && !cut ? std::string_view(start, next) : std::string_view();
            line->Before = whole && !cut ? std::string_view(Buffer_.data(), Begin_ - next) : std::string_view();
            // Text lies within the bytes searched, whose end the search found.
            line->MayHoldMarker = cut || marked;
            return true;
        }
        if (!cut && end == available && available > MaxLineLength) {
            // Keep the head of an overlong line and pass over the rest.
            Line_.assign(start, start + MaxLineLength);
            cut = true;
        }
        if (cut) {
            Begin_ = End_;
        }
        if (!Fill()) {
            if (cut) {
                break;
            }
            if (Begin_ == End_) {
                return false;
            }
            // A last line without its line end.
            line->Text = TrimLineEnds(std::string_view(Buffer_.data() + Begin_, End_ - Begin_));
            line->Number = ++Number_;
            line->Cut = false;
            line->Raw = std::string_view();
            line->Before = whole ? std::string_view(Buffer_.data(), Begin_) : std::string_view();
            line->MayHoldMarker = true;
            Begin_ = End_;
            return true;
        }
    }
    line->Text = TrimLineEnds(std::string_view(Line_.data(), Line_.size()));
    line->Number = ++Number_;
    line->Cut = true;
    line->Raw = std::string_view();
    line->Before = std::string_view();
    line->MayHoldMarker = true;
    return true;
}

bool LineReader::NextMatching(LogLine* line, Finder find)
{
    for (;;) {
        if (Begin_ == End_ && !Fill()) {
            return false;
        }
        const char* base = Buffer_.data() + Begin_;
        size_t available = End_ - Begin_;
        const void* last = ::memrchr(base, Terminator_, available);
        if (last == nullptr) {
            // No whole line here: an overlong one, or the rest of the input.
            if (available > MaxLineLength || !Fill()) {
                return Next(line);
            }
            continue;
        }
        size_t whole = static_cast<size_t>(static_cast<const char*>(last) - base) + 1;
        size_t hit = find(base, whole, Terminator_, &Number_);
        if (hit == whole) {
            Begin_ += whole;
            continue;
        }
        const void* before = hit == 0 ? nullptr : ::memrchr(base, Terminator_, hit);
        size_t lineStart = before == nullptr ? 0 : static_cast<size_t>(static_cast<const char*>(before) - base) + 1;
        Begin_ += lineStart;
        return Next(line);
    }
}

}  // namespace decode
