// Line splitting for console logs: LF ends a line, CRs around it (from a
// terminal's CR LF, LF CR or a doubled CR) are dropped, and an overlong line keeps
// its first MaxLineLength bytes.
#include "decode/line_reader.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace decode {

namespace {

// A console that sends LF CR leaves the CR at the start of the next line.
std::string_view TrimCarriageReturns(std::string_view text)
{
    size_t first = 0;
    while (first < text.size() && text[first] == '\r') {
        ++first;
    }
    return text.substr(first);
}

}  // namespace

LineReader::LineReader(int fd) : Fd_(fd), Buffer_(ReadChunk)
{
    Line_.reserve(MaxLineLength);
}

bool LineReader::Fill()
{
    if (Eof_) {
        return false;
    }
    for (;;) {
        ssize_t got = ::read(Fd_, Buffer_.data(), Buffer_.size());
        if (got > 0) {
            Begin_ = 0;
            End_ = static_cast<size_t>(got);
            return true;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        Failed_ = got < 0;
        Eof_ = true;
        return false;
    }
}

bool LineReader::Next(LogLine* line)
{
    Line_.clear();
    bool cut = false;
    bool any = false;
    for (;;) {
        if (Begin_ == End_ && !Fill()) {
            if (!any) {
                return false;
            }
            break;  // a last line without its line feed
        }
        any = true;
        const char* start = Buffer_.data() + Begin_;
        size_t available = End_ - Begin_;
        const void* feed = std::memchr(start, '\n', available);
        size_t take = feed != nullptr ? static_cast<size_t>(static_cast<const char*>(feed) - start)
                                      : available;
        if (Line_.empty() && !cut && feed != nullptr && take <= MaxLineLength) {
            // The whole line lies in the buffer: hand it out without a copy.
            Begin_ += take + 1;
            size_t length = take;
            while (length > 0 && start[length - 1] == '\r') {
                --length;
            }
            line->Text = TrimCarriageReturns(std::string_view(start, length));
            line->Number = ++Number_;
            line->Cut = false;
            return true;
        }
        size_t room = MaxLineLength - Line_.size();
        if (take > room) {
            cut = true;
        }
        Line_.insert(Line_.end(), start, start + (take < room ? take : room));
        Begin_ += take;
        if (feed != nullptr) {
            ++Begin_;
            break;
        }
    }
    size_t length = Line_.size();
    while (length > 0 && Line_[length - 1] == '\r') {
        --length;
    }
    line->Text = TrimCarriageReturns(std::string_view(Line_.data(), length));
    line->Number = ++Number_;
    line->Cut = cut;
    return true;
}

}  // namespace decode
