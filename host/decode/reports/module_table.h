// A report's module table: its rows as the symbol store names a module's
// PDB, and the table that holds them, most of it as the bytes the console
// gave until something reads them whole.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace decode {

// A module's GUID as the module table prints it and the symbol store spells
// it: 32 upper-case hex digits, held in place (a fleet's log has hundreds of
// rows a report, and a heap string per row was a large share of parsing).
// Reads as text wherever a string_view is taken.
class GuidText {
public:
    static constexpr size_t Digits = 32;
    GuidText() = default;
    // Text longer than Digits keeps its first Digits bytes: a row's GUID
    // column is never longer.
    GuidText(std::string_view text) : Size_(static_cast<uint8_t>(text.size() < Digits ? text.size() : Digits))
    {
        // The whole column in one copy where it is whole: byte stores read
        // back as wider words stall.
        if (Size_ == Digits) {
            std::memcpy(Text_.data(), text.data(), Digits);
        } else if (Size_ != 0) {
            std::memcpy(Text_.data(), text.data(), Size_);
        }
    }
    GuidText(const char* text) : GuidText(std::string_view(text)) {}
    GuidText(const std::string& text) : GuidText(std::string_view(text)) {}
    size_t size() const { return Size_; }
    bool empty() const { return Size_ == 0; }
    const char* data() const { return Text_.data(); }
    std::string_view View() const { return {Text_.data(), Size_}; }
    operator std::string_view() const { return View(); }
    std::string String() const { return std::string(View()); }
    friend bool operator==(const GuidText& a, const GuidText& b) { return a.View() == b.View(); }
    friend bool operator!=(const GuidText& a, const GuidText& b) { return !(a == b); }
    friend bool operator==(const GuidText& a, std::string_view b) { return a.View() == b; }
    friend bool operator==(std::string_view a, const GuidText& b) { return a == b.View(); }
    friend bool operator==(const std::string& a, const GuidText& b) { return std::string_view(a) == b.View(); }
    friend bool operator==(const GuidText& a, const std::string& b) { return a.View() == std::string_view(b); }

private:
    std::array<char, Digits> Text_{};
    uint8_t Size_ = 0;
};

// A module row's columns as views, wherever the row is held: what the
// identity helpers read.
struct ModuleRowView {
    std::string_view Name;
    std::string_view PdbColumn;
    std::string_view Guid;
    uint32_t Age = 0;

    bool HasIdentity() const;
    std::string_view PdbName(std::string* scratch) const;
    std::string GuidDashed() const;
};

struct ModuleRow {
    ModuleRow() = default;
    // A row made in place from its columns: a fleet's table has hundreds.
    ModuleRow(std::string_view name, std::string_view pdbColumn, std::string_view guid, uint32_t age)
        : Name(name), PdbColumn(pdbColumn), Guid(guid), Age(age)
    {
    }

    std::string Name;
    std::string PdbColumn;  // empty when the PDB is named after the module
    GuidText Guid;          // 32 upper-case hex digits, as the store spells it
    uint32_t Age = 0;

    // An image without a CodeView record prints a zero GUID and age 0.
    bool HasIdentity() const;
    // The PDB's file name: the column's last path component, or the module's
    // stem with ".pdb" when the column is empty.
    std::string PdbName() const;
    // The same without a string of its own where the column names it: a
    // view of the column, or of *scratch holding the stem's name.
    std::string_view PdbName(std::string* scratch) const;
    // "name.pdb/<GUID><age in hex>/name.pdb", or empty without an identity.
    std::string SymbolKey() const;
    // The GUID in its registry form, 8-4-4-4-12.
    std::string GuidDashed() const;
    ModuleRowView View() const { return {Name, PdbColumn, Guid.View(), Age}; }
};

// A module row as the driver prints it, found where it stands in the log:
// "name<TAB>pdb<TAB>GUID<TAB>age" ending in a lone LF within its first 64
// bytes, the GUID 32 and the age 1 to 8 upper-case hex digits. Offsets are
// from the row's first byte.
struct PlainRow {
    uint32_t Length = 0;  // the row's bytes before its LF
    uint16_t PdbTab = 0;  // the tab after the name (the last before the GUID's)
    uint16_t AgeTab = 0;  // the tab after the GUID
    uint32_t Age = 0;
    bool Marked = false;  // holds a 'U' or a 'V': may hold a marker
};

// A report's module table. Rows the parser reads are held as their bytes
// and made into ModuleRows only when something reads them whole (JSON, the
// module list, symbols): text output needs of a fleet's hundreds of rows a
// report only their count and the few names its frames give. Shared as
// SharedRows shares; reads as a const vector of rows.
class ModuleTable {
public:
    using Rows = std::vector<ModuleRow>;
    ModuleTable() = default;
    ModuleTable(std::initializer_list<ModuleRow> rows) : Block_(std::make_shared<Block>())
    {
        Block_->Made = rows;
    }
    ModuleTable& operator=(std::initializer_list<ModuleRow> rows)
    {
        Block_ = std::make_shared<Block>();
        Block_->Made = rows;
        return *this;
    }

    // Reading the rows whole makes the rows held as bytes first.
    const Rows& View() const
    {
        if (!Block_) {
            return NoRows();
        }
        if (!Block_->Unmade.empty()) {
            Make();
        }
        return Block_->Made;
    }
    operator const Rows&() const { return View(); }
    size_t size() const { return Block_ ? Block_->Made.size() + Block_->Unmade.size() : 0; }
    bool empty() const { return size() == 0; }
    const ModuleRow& operator[](size_t index) const { return View()[index]; }
    Rows::const_iterator begin() const { return View().begin(); }
    Rows::const_iterator end() const { return View().end(); }
    const ModuleRow& front() const { return View().front(); }
    const ModuleRow& back() const { return View().back(); }
    // A row's module name, and the whole row as views, without making the
    // rows: good until the table is changed or read whole.
    std::string_view Name(size_t index) const;
    ModuleRowView RowView(size_t index) const;
    bool Shares(const ModuleTable& other) const { return Block_ != nullptr && Block_ == other.Block_; }
    // True when both tables hold the same rows; rows held as bytes are
    // compared as bytes first, and row by row where those differ.
    bool SameRows(const ModuleTable& other) const;
    // The rows' four columns folded into 64 bits, however they are held:
    // tables with the same rows have the same print, so only those whose
    // prints agree need SameRows' compare of row after row.
    uint64_t RowsPrint() const;
    // The same of the row count and the first and last rows alone: most
    // tables that differ differ there already, for the price of two rows.
    uint64_t EndsPrint() const;

    // A row from its columns' bytes, as ModuleRow(name, pdbColumn, guid,
    // age) makes it: `text` is "name<TAB>pdb column<TAB>" and the GUID's
    // GuidText::Digits bytes, the GUID's tab at guidTab.
    // Inline: a fleet's table has hundreds.
    void Hold(std::string_view text, size_t pdbTab, size_t guidTab, uint32_t age)
    {
        Block& block = Own();
        if (guidTab > MaxHeldTab || block.Text.size() > MaxHeldText - text.size()) {
            MakeNow(text, pdbTab, guidTab, age);
            return;
        }
        if (block.Unmade.empty()) {
            block.Unmade.reserve(RowsReserved);
        }
        UnmadeRow& row = block.Unmade.emplace_back();
        row.Start = static_cast<uint32_t>(block.Text.size());
        row.PdbTab = static_cast<uint16_t>(pdbTab);
        row.GuidTab = static_cast<uint16_t>(guidTab);
        row.Age = age;
        // Never fewer than HeldText::Chunk bytes: the GUID alone has 32.
        static_assert(GuidText::Digits + 1 >= HeldText::Chunk, "a row's text is at least a chunk");
        block.Text.Append(text.data(), guidTab + 1 + GuidText::Digits);
    }
    // Plain rows that follow one another from `text` on, each with its LF,
    // held as Hold holds each of them (with the bytes after its GUID: a
    // fleet's table is put in with one copy, not one a row).
    void HoldRows(const char* text, const PlainRow* rows, size_t count);
    // Plain rows as HoldRows holds them, each behind `prefix` bytes (a
    // timestamp before every line): each row's bytes up to its GUID's end
    // are put in apart, as Hold puts them.
    void HoldRowsBehindPrefix(const char* text, size_t prefix, const PlainRow* rows, size_t count);
    // other's rows [first, first + count) added after this table's, held
    // as bytes where other holds them so (a table taken over in part is
    // not made into rows, neither this one nor other). first + count <=
    // other.size().
    void AppendRows(const ModuleTable& other, size_t first, size_t count);
    // This table's row at `position` becomes other's row there, the rest
    // kept as they are (the rows a report remembers for the next): a row
    // held as bytes is held so here too. position < other.size().
    void Keep(size_t position, const ModuleTable& other);
    Rows& Mutable();
    void Share(const ModuleTable& other) { Block_ = other.Block_; }
    void push_back(ModuleRow row) { Mutable().push_back(std::move(row)); }
    template <typename... Args>
    ModuleRow& emplace_back(Args&&... args)
    {
        return Mutable().emplace_back(std::forward<Args>(args)...);
    }
    template <typename Iterator>
    void assign(Iterator first, Iterator last)
    {
        Mutable().assign(first, last);
    }
    void pop_back() { Mutable().pop_back(); }
    void clear() { Block_.reset(); }
    void reserve(size_t count) { Mutable().reserve(count); }

private:
    // A row held as bytes: its text at Start in Block::Text, the PDB
    // column's tab and the GUID's within it. A row's text is at most a
    // line (LineReader::MaxLineLength), a table's at most 4096 rows.
    struct UnmadeRow {
        // Left unset when made: whoever makes one sets every member (a
        // batch of rows is made at once and zeroing it first was a share
        // of holding them).
        UnmadeRow() {}
        uint32_t Start;
        uint16_t PdbTab;
        uint16_t GuidTab;
        uint32_t Age;
    };
    static constexpr size_t MaxHeldTab = UINT16_MAX;
    // Room for a fleet's table at once, made at its first row: a table
    // taken over whole shares the one before and never uses it.
    static constexpr size_t RowsReserved = 256;
    static constexpr size_t MaxHeldText = UINT32_MAX;
    // The held rows' bytes one after another: a row's few dozen bytes are
    // put in with two stores of 32, not a call.
    class HeldText {
    public:
        HeldText() = default;
        HeldText(const HeldText& other) { *this = other; }
        HeldText& operator=(const HeldText& other);
        const char* data() const { return Data_.get(); }
        char* data() { return Data_.get(); }
        size_t size() const { return Size_; }
        void clear() { Size_ = 0; }
        // Appends text, at least 32 bytes of it.
        void Append(const char* text, size_t size)
        {
            if (Capacity_ - Size_ < size) {
                Grow(size);
            }
            char* to = Data_.get() + Size_;
            if (size <= 2 * Chunk) {
                std::memcpy(to, text, Chunk);
                std::memcpy(to + size - Chunk, text + size - Chunk, Chunk);
            } else {
                std::memcpy(to, text, size);
            }
            Size_ += size;
        }
        static constexpr size_t Chunk = 32;

    private:
        void Grow(size_t more);
        std::unique_ptr<char[]> Data_;
        size_t Size_ = 0;
        size_t Capacity_ = 0;
    };
    // The rows made, then the rows held as bytes after them.
    struct Block {
        Rows Made;
        std::vector<UnmadeRow> Unmade;
        HeldText Text;
    };
    static const Rows& NoRows()
    {
        static const Rows none;
        return none;
    }
    // Makes the rows held as bytes: the block's rows stay what they were
    // for every table that shares it.
    void Make() const;
    // A row past what a row held as bytes can say (never a console's):
    // made at once.
    void MakeNow(std::string_view text, size_t pdbTab, size_t guidTab, uint32_t age);
    // The row at index, made on its own.
    ModuleRow RowAt(size_t index) const;
    // The block to change: a copy of its own first where it is shared.
    Block& Own() { return Block_ && Block_.use_count() == 1 ? *Block_ : Unshare(); }
    Block& Unshare();
    std::shared_ptr<Block> Block_;
};

}  // namespace decode
