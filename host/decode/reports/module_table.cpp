// The module table's rows and how the table holds them: as bytes until
// read whole, shared until changed.
#include "decode/reports/module_table.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace decode {

bool ModuleRowView::HasIdentity() const
{
    return Age != 0 || Guid.find_first_not_of('0') != std::string_view::npos;
}

std::string_view ModuleRowView::PdbName(std::string* scratch) const
{
    if (!PdbColumn.empty()) {
        size_t slash = PdbColumn.find_last_of("\\/");
        return slash == std::string_view::npos ? PdbColumn : PdbColumn.substr(slash + 1);
    }
    if (!HasIdentity()) {
        scratch->clear();
        return *scratch;  // empty, and never a null pointer to copy from
    }
    size_t dot = Name.find_last_of('.');
    scratch->assign(Name.substr(0, dot == std::string_view::npos ? Name.size() : dot)).append(".pdb");
    return *scratch;
}

std::string ModuleRowView::GuidDashed() const
{
    if (Guid.size() != GuidText::Digits) {
        return std::string(Guid);
    }
    std::string dashed;
    dashed.reserve(GuidText::Digits + 4);
    for (size_t at : {size_t{0}, size_t{8}, size_t{12}, size_t{16}, size_t{20}}) {
        dashed.append(Guid.substr(at, at == 0 ? 8 : at == 20 ? 12 : 4));
        dashed += at == 20 ? "" : "-";
    }
    return dashed;
}

bool ModuleRow::HasIdentity() const
{
    return View().HasIdentity();
}

std::string ModuleRow::PdbName() const
{
    std::string scratch;
    return std::string(PdbName(&scratch));
}

std::string_view ModuleRow::PdbName(std::string* scratch) const
{
    return View().PdbName(scratch);
}

std::string ModuleRow::SymbolKey() const
{
    std::string pdb = PdbName();
    if (!HasIdentity() || pdb.empty()) {
        return std::string();
    }
    char age[16];
    std::snprintf(age, sizeof(age), "%X", Age);
    return pdb + "/" + Guid.String() + age + "/" + pdb;
}

std::string ModuleRow::GuidDashed() const
{
    return View().GuidDashed();
}

std::string_view ModuleTable::Name(size_t index) const
{
    const Block& block = *Block_;
    if (index < block.Made.size()) {
        return block.Made[index].Name;
    }
    const UnmadeRow& row = block.Unmade[index - block.Made.size()];
    return std::string_view(block.Text.data() + row.Start, row.PdbTab);
}

ModuleTable::HeldText& ModuleTable::HeldText::operator=(const HeldText& other)
{
    if (this != &other) {
        Size_ = 0;
        if (Capacity_ < other.Size_) {
            Data_ = std::make_unique<char[]>(other.Size_);
            Capacity_ = other.Size_;
        }
        if (other.Size_ != 0) {
            std::memcpy(Data_.get(), other.Data_.get(), other.Size_);
        }
        Size_ = other.Size_;
    }
    return *this;
}

void ModuleTable::HeldText::Grow(size_t more)
{
    // Room for a fleet's table at once: a few hundred rows of a few dozen
    // bytes.
    constexpr size_t FirstCapacity = 16384;
    size_t capacity = Capacity_ == 0 ? FirstCapacity : 2 * Capacity_;
    while (capacity - Size_ < more) {
        capacity *= 2;
    }
    std::unique_ptr<char[]> data(new char[capacity]);
    if (Size_ != 0) {
        std::memcpy(data.get(), Data_.get(), Size_);
    }
    Data_ = std::move(data);
    Capacity_ = capacity;
}

ModuleTable::Block& ModuleTable::Unshare()
{
    if (!Block_) {
        Block_ = std::make_shared<Block>();
    } else if (Block_.use_count() > 1) {
        // Another table holds these rows too: they stay as they are for it.
        Block_ = std::make_shared<Block>(*Block_);
    }
    return *Block_;
}

void ModuleTable::MakeNow(std::string_view text, size_t pdbTab, size_t guidTab, uint32_t age)
{
    Mutable().emplace_back(text.substr(0, pdbTab), text.substr(pdbTab + 1, guidTab - pdbTab - 1),
                           text.substr(guidTab + 1, GuidText::Digits), age);
}

ModuleRowView ModuleTable::RowView(size_t index) const
{
    const Block& block = *Block_;
    if (index < block.Made.size()) {
        return block.Made[index].View();
    }
    const UnmadeRow& row = block.Unmade[index - block.Made.size()];
    const char* text = block.Text.data() + row.Start;
    return {std::string_view(text, row.PdbTab),
            std::string_view(text + row.PdbTab + 1, row.GuidTab - row.PdbTab - 1u),
            std::string_view(text + row.GuidTab + 1, GuidText::Digits), row.Age};
}

ModuleRow ModuleTable::RowAt(size_t index) const
{
    const Block& block = *Block_;
    if (index < block.Made.size()) {
        return block.Made[index];
    }
    ModuleRowView view = RowView(index);
    return ModuleRow(view.Name, view.PdbColumn, view.Guid, view.Age);
}

void ModuleTable::HoldRows(const char* text, const PlainRow* rows, size_t count)
{
    if (count == 0) {
        return;
    }
    Block& block = Own();
    if (block.Unmade.empty()) {
        block.Unmade.reserve(RowsReserved);
    }
    const size_t first = block.Unmade.size();
    block.Unmade.resize(first + count);
    // The rows' places and their bytes' in one pass; the bytes are put in
    // after, in one copy.
    const size_t begin = block.Text.size();
    size_t start = begin;
    for (size_t i = 0; i < count; ++i) {
        UnmadeRow& row = block.Unmade[first + i];
        row.Start = static_cast<uint32_t>(start);
        row.PdbTab = rows[i].PdbTab;
        row.GuidTab = static_cast<uint16_t>(rows[i].AgeTab - GuidText::Digits - 1u);
        row.Age = rows[i].Age;
        start += rows[i].Length + 1u;
    }
    if (start > MaxHeldText) {
        // Past what a row held as bytes can say (never a console's).
        block.Unmade.resize(first);
        for (size_t i = 0; i < count; ++i) {
            Hold(std::string_view(text, rows[i].AgeTab), rows[i].PdbTab, rows[i].AgeTab - GuidText::Digits - 1u,
                 rows[i].Age);
            text += rows[i].Length + 1u;
        }
        return;
    }
    // At least a row's GuidText::Digits bytes, as Append asks.
    block.Text.Append(text, start - begin);
}

void ModuleTable::HoldRowsBehindPrefix(const char* text, size_t prefix, const PlainRow* rows, size_t count)
{
    if (count == 0) {
        return;
    }
    Block& block = Own();
    // Each row puts in its bytes up to the age's tab, a 16-bit place:
    // count of them fit whenever this many bytes do.
    constexpr size_t MostARow = size_t{UINT16_MAX} + 1;
    if (count > MaxHeldText / MostARow || block.Text.size() > MaxHeldText - count * MostARow) {
        for (size_t i = 0; i < count; ++i) {
            text += prefix;
            Hold(std::string_view(text, rows[i].AgeTab), rows[i].PdbTab, rows[i].AgeTab - GuidText::Digits - 1u,
                 rows[i].Age);
            text += rows[i].Length + 1u;
        }
        return;
    }
    if (block.Unmade.empty()) {
        block.Unmade.reserve(RowsReserved);
    }
    const size_t first = block.Unmade.size();
    block.Unmade.resize(first + count);
    for (size_t i = 0; i < count; ++i) {
        text += prefix;
        UnmadeRow& row = block.Unmade[first + i];
        row.Start = static_cast<uint32_t>(block.Text.size());
        row.PdbTab = rows[i].PdbTab;
        row.GuidTab = static_cast<uint16_t>(rows[i].AgeTab - GuidText::Digits - 1u);
        row.Age = rows[i].Age;
        block.Text.Append(text, rows[i].AgeTab);
        text += rows[i].Length + 1u;
    }
}

void ModuleTable::AppendRows(const ModuleTable& other, size_t first, size_t count)
{
    if (count == 0) {
        return;
    }
    // A reference of its own to other's rows: other may be this table,
    // whose block the first change replaces.
    const std::shared_ptr<Block> source = other.Block_;
    // Rows made there come before its held ones, and stay rows here.
    const size_t made = first < source->Made.size() ? std::min(count, source->Made.size() - first) : 0;
    if (made != 0) {
        Rows& rows = Mutable();
        const auto from = source->Made.begin() + static_cast<std::ptrdiff_t>(first);
        rows.insert(rows.end(), from, from + static_cast<std::ptrdiff_t>(made));
    }
    if (made == count) {
        return;
    }
    const size_t held = first + made - source->Made.size();
    for (size_t i = held; i < held + (count - made); ++i) {
        const UnmadeRow& row = source->Unmade[i];
        Hold(std::string_view(source->Text.data() + row.Start, row.GuidTab + 1u + GuidText::Digits), row.PdbTab,
             row.GuidTab, row.Age);
    }
}

void ModuleTable::Keep(size_t position, const ModuleTable& other)
{
    const Block& from = *other.Block_;
    if (position >= from.Made.size()) {
        const UnmadeRow& row = from.Unmade[position - from.Made.size()];
        std::string_view text(from.Text.data() + row.Start, row.GuidTab + 1u + GuidText::Digits);
        const size_t rows = size();
        if (rows == position) {
            Hold(text, row.PdbTab, row.GuidTab, row.Age);
            return;
        }
        if (rows > position) {
            // A copy of its own first where shared; other's bytes stay
            // where they are, other holding them.
            Block& block = Own();
            if (position >= block.Made.size()) {
                // Written over a held row as long as it, in place (a
                // fleet's tables name the same modules at the same rows).
                UnmadeRow& kept = block.Unmade[position - block.Made.size()];
                if (kept.GuidTab + 1u + GuidText::Digits == text.size()) {
                    std::memcpy(block.Text.data() + kept.Start, text.data(), text.size());
                    kept.PdbTab = row.PdbTab;
                    kept.GuidTab = row.GuidTab;
                    kept.Age = row.Age;
                    return;
                }
            }
        }
    }
    ModuleRow row = other.RowAt(position);
    Rows& rows = Mutable();
    if (rows.size() <= position) {
        rows.resize(position + 1);
    }
    rows[position] = std::move(row);
}

void ModuleTable::Make() const
{
    Block& block = *Block_;
    if (block.Made.empty()) {
        block.Made.reserve(block.Unmade.size());  // a row at a time grows as a vector grows
    }
    for (const UnmadeRow& row : block.Unmade) {
        const char* text = block.Text.data() + row.Start;
        block.Made.emplace_back(std::string_view(text, row.PdbTab),
                                std::string_view(text + row.PdbTab + 1, row.GuidTab - row.PdbTab - 1u),
                                std::string_view(text + row.GuidTab + 1, GuidText::Digits), row.Age);
    }
    block.Unmade.clear();
    block.Text.clear();
}

ModuleTable::Rows& ModuleTable::Mutable()
{
    Block& block = Own();
    if (!block.Unmade.empty()) {
        Make();
    }
    return block.Made;
}

bool ModuleTable::SameRows(const ModuleTable& other) const
{
    if (Shares(other)) {
        return true;
    }
    if (size() != other.size()) {
        return false;
    }
    if (empty()) {
        return true;
    }
    const Block& a = *Block_;
    const Block& b = *other.Block_;
    if (a.Made.empty() && b.Made.empty() && a.Text.size() == b.Text.size() &&
        std::memcmp(a.Text.data(), b.Text.data(), a.Text.size()) == 0) {
        // The same bytes parted at the same places are the same rows. Not
        // the other way round: a row held with the bytes after its GUID
        // and one held without are the same row.
        size_t i = 0;
        while (i < a.Unmade.size() && a.Unmade[i].Start == b.Unmade[i].Start &&
               a.Unmade[i].PdbTab == b.Unmade[i].PdbTab && a.Unmade[i].GuidTab == b.Unmade[i].GuidTab &&
               a.Unmade[i].Age == b.Unmade[i].Age) {
            ++i;
        }
        if (i == a.Unmade.size()) {
            return true;
        }
    }
    for (size_t i = 0; i < size(); ++i) {
        const ModuleRowView x = RowView(i);
        const ModuleRowView y = other.RowView(i);
        if (x.Name != y.Name || x.PdbColumn != y.PdbColumn || x.Guid != y.Guid || x.Age != y.Age) {
            return false;
        }
    }
    return true;
}

namespace {

// A multiply-xor fold, a word at a time: for one word of other bytes it
// gives another print (each step is one-to-one), and that is all a print
// is for. Not for a guest to defeat: prints only pick which tables
// SameRows compares.
constexpr uint64_t FoldOdd = 0x9E3779B97F4A7C15;

inline uint64_t FoldWord(uint64_t print, uint64_t word)
{
    return (print ^ word) * FoldOdd;
}

inline uint64_t FoldBytes(uint64_t print, std::string_view bytes)
{
    constexpr size_t Word = sizeof(uint64_t);
    const size_t size = bytes.size();
    uint64_t word = 0;
    size_t at = 0;
    for (; size - at >= Word; at += Word) {
        std::memcpy(&word, bytes.data() + at, Word);
        print = FoldWord(print, word);
    }
    if (at != size) {
        // The last bytes as the word that ends with them (a fixed-size
        // read), or the few there are.
        if (size >= Word) {
            std::memcpy(&word, bytes.data() + size - Word, Word);
        } else {
            word = 0;
            for (size_t i = 0; i < size; ++i) {
                word = word << 8 | static_cast<unsigned char>(bytes[i]);
            }
        }
        print = FoldWord(print, word);
    }
    // The length too: "ab" then "c" is not "a" then "bc".
    return FoldWord(print, size);
}

// Each row folded apart, then into the table's: rows' folds do not wait
// on one another.
inline uint64_t RowPrint(const ModuleRowView& row)
{
    return FoldBytes(FoldBytes(FoldBytes(row.Age, row.Name), row.PdbColumn), row.Guid);
}

}  // namespace

uint64_t ModuleTable::RowsPrint() const
{
    uint64_t print = FoldWord(0, size());
    for (size_t i = 0; i < size(); ++i) {
        print = print * FoldOdd + RowPrint(RowView(i));
    }
    return print;
}

uint64_t ModuleTable::EndsPrint() const
{
    uint64_t print = FoldWord(0, size());
    if (!empty()) {
        print = print * FoldOdd + RowPrint(RowView(0));
        print = print * FoldOdd + RowPrint(RowView(size() - 1));
    }
    return print;
}

}  // namespace decode
