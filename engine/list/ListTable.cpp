#include "engine/list/ListTable.h"

#include <QString>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "rtl/Streams.h"

TListTable::TListTable(std::vector<std::string> Header, int HeaderRow)
    : header_(std::move(Header)), headerRow_(HeaderRow), lastNumber_(HeaderRow), first_{0}
{
}

std::string_view TListTable::Cell(size_t Row, size_t Column) const
{
    if (Column >= Width(Row))
        return {};
    const size_t at = first_[Row] + Column;
    const size_t begin = at == 0 ? 0 : ends_[at - 1];
    return std::string_view(text_).substr(begin, ends_[at] - begin);
}

bool IsBlankCell(std::string_view s)
{
    // The ideographic space (E3 80 80) is a blank for Japanese typists too.
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == ' ' || s[i] == '\t')
            continue;
        if (s.substr(i, 3) == "\xe3\x80\x80") {
            i += 2;
            continue;
        }
        return false;
    }
    return true;
}

void TListTable::Append(int Number, std::span<std::string> Cells)
{
    if (Number <= lastNumber_)
        throw EListError(Format("行番号 %d が %d 行目の後にあります。行は上から順に、同じ番号を重ねずに並べてください。",
                                Number, lastNumber_));
    if (Number > kMaxListRows)
        throw EListError(Format("%d 行目: 行が多すぎます（%d 行まで）。", Number, kMaxListRows));
    lastNumber_ = Number;
    if (Cells.size() > kMaxListColumns)
        throw EListError(Format("%d 行目: 列が多すぎます（%zu 列まで）。", Number, kMaxListColumns));
    for (size_t c = 0; c < Cells.size(); ++c)
        if (Cells[c].size() > kMaxCellBytes)
            throw EListError(CellPlace(Number, c) + Format(": セルの内容が長すぎます（%zu バイトまで。Excel のセルは "
                                                           "32,767 文字までです）。",
                                                           kMaxCellBytes));
    if (std::all_of(Cells.begin(), Cells.end(), [](const std::string& c) { return IsBlankCell(c); }))
        return;
    // Empty cells at the end cost nothing: Cell is empty past a row's width.
    size_t width = Cells.size();
    while (width > 0 && Cells[width - 1].empty())
        --width;
    size_t text = 0;
    for (size_t c = 0; c < width; ++c)
        text += Cells[c].size();
    if (ends_.size() + width > kMaxListCells || text_.size() + text > kMaxListText)
        throw EListError(Format("%d 行目: リストが大きすぎます（セルは %zu 個、文字は %zu MB まで）。", Number,
                                kMaxListCells, kMaxListText >> 20));
    if (headerRow_ == 0) {
        header_.assign(std::make_move_iterator(Cells.begin()), std::make_move_iterator(Cells.end()));
        headerRow_ = Number;
        first_.assign(1, 0);
        return;
    }
    if (Cells.size() > header_.size())
        header_.resize(Cells.size());
    for (size_t c = 0; c < width; ++c) {
        text_ += Cells[c];
        ends_.push_back(static_cast<uint32_t>(text_.size()));
        // A reader's copy goes as the table's grows.
        std::string().swap(Cells[c]);
    }
    first_.push_back(ends_.size());
    numbers_.push_back(Number);
}

std::string ColumnLetters(size_t Column)
{
    std::string letters;
    for (size_t n = Column + 1; n > 0; n = (n - 1) / 26)
        letters.insert(letters.begin(), static_cast<char>('A' + (n - 1) % 26));
    return letters;
}

std::string CellPlace(int Row, size_t Column) { return Format("%d 行目の %s 列", Row, ColumnLetters(Column).c_str()); }

std::string FieldKey(std::string_view Name)
{
    const QString name = QString::fromUtf8(Name.data(), static_cast<qsizetype>(Name.size()));
    QString key;
    key.reserve(name.size());
    for (qsizetype i = 0; i < name.size();) {
        const char16_t c = name[i].unicode();
        if (c >= 0xFF01 && c <= 0xFF5E) {
            key += QChar(static_cast<char16_t>(c - 0xFEE0));
            ++i;
        } else if (c == 0x3000) {
            key += u' ';
            ++i;
        } else if (c >= 0xFF61 && c <= 0xFF9F) {
            // A run at once, so that a sound mark joins the kana before it (ｶﾞ is ガ).
            qsizetype end = i;
            while (end < name.size() && name[end].unicode() >= 0xFF61 && name[end].unicode() <= 0xFF9F)
                ++end;
            key += name.mid(i, end - i).normalized(QString::NormalizationForm_KC);
            i = end;
        } else {
            key += name[i];
            ++i;
        }
    }
    return key.trimmed().toStdString();
}

std::optional<TListTable> ReadListTable(const std::string& FileName)
{
    std::string extension = std::filesystem::path(FileName).extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (extension == ".xlsx" || extension == ".xls")
        return ReadWorkbookList(FileName);
    if (extension != ".csv" && extension != ".tsv")
        return std::nullopt;
    // The file, its fields and their code page each take the file's size
    // for a while.
    std::error_code error;
    if (const uintmax_t size = std::filesystem::file_size(FileName, error); !error && size > kMaxListFileBytes)
        throw EListError(Format("%s は大きすぎます（CSV・TSV の宛先リストは %zu MB まで）。", FileName.c_str(),
                                kMaxListFileBytes >> 20));
    TMemoryStream file;
    file.LoadFromFile(FileName);
    try {
        return ReadDelimitedList(std::string_view(file.Memory(), static_cast<size_t>(file.Size())),
                                 extension == ".tsv" ? '\t' : ',');
    } catch (EListError& e) {
        e.SetMessage(FileName + " の " + e.Message());
        throw;
    }
}

namespace {

std::string HeadingKey(const std::string& Heading)
{
    return QString::fromStdString(FieldKey(Heading)).toCaseFolded().toStdString();
}

std::optional<size_t> ColumnNamed(const TListTable& Table, std::initializer_list<const char*> Names)
{
    std::vector<std::string> keys;
    for (const char* name : Names)
        keys.push_back(HeadingKey(name));
    for (size_t c = 0; c < Table.Columns(); ++c)
        if (std::find(keys.begin(), keys.end(), HeadingKey(Table.Header()[c])) != keys.end())
            return c;
    return std::nullopt;
}

std::string Headings(const TListTable& Table)
{
    std::string text;
    for (size_t c = 0; c < Table.Columns(); ++c) {
        if (!text.empty())
            text += "、";
        text += Table.Header()[c].empty() ? ColumnLetters(c) + " 列（見出しなし）" : Table.Header()[c];
    }
    return text;
}

}  // namespace

TListColumns FindListColumns(const TListTable& Table, const std::function<bool(std::string_view Cell)>& IsAddress)
{
    TListColumns columns;
    columns.Name = ColumnNamed(Table, {"氏名", "名前", "宛名", "Name"});
    columns.Honorific = ColumnNamed(Table, {"敬称"});
    if (const auto address = ColumnNamed(Table, {"メールアドレス", "メール", "アドレス", "E-mail", "Email", "mail"})) {
        columns.Address = *address;
        return columns;
    }
    // A list saved without its header would lose its first recipient to it.
    for (size_t c = 0; c < Table.Columns(); ++c)
        if (IsAddress(Table.Header()[c]))
            throw EListError(Format("%d 行目が見出しではなくメールアドレス (%s) です。先頭の行には「メールアドレス」"
                                    "「氏名」などの見出しを書いてください。",
                                    Table.HeaderRow(), Table.Header()[c].c_str()));
    // Row by row over the cells each row holds, so that the work is the
    // list's size however wide its header is; a column stops being looked
    // at once one of its cells is no address.
    enum TSeen : unsigned char { Nothing, Addresses, Other };
    std::vector<TSeen> seen(Table.Columns(), Nothing);
    for (size_t r = 0; r < Table.Rows(); ++r)
        for (size_t c = 0; c < Table.Width(r); ++c) {
            const std::string_view cell = Table.Cell(r, c);
            if (seen[c] != Other && !IsBlankCell(cell))
                seen[c] = IsAddress(cell) ? Addresses : Other;
        }
    if (const auto first = std::find(seen.begin(), seen.end(), Addresses); first != seen.end()) {
        columns.Address = static_cast<size_t>(first - seen.begin());
        return columns;
    }
    throw EListError("宛先リストにメールアドレスの列が見つかりません。見出しの行に「メールアドレス」と書いた列を"
                     "作ってください。見出し: " + Headings(Table));
}
