// Excel lists: the first sheet of an .xlsx workbook. The sheet is read as a
// stream, row by row, straight out of the archive (XlsxPart); only the
// shared strings and the styles are held whole, since cells refer to them
// by number.
#include <QDir>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "engine/list/ListTable.h"
#include "engine/list/XlsxPart.h"

namespace {

std::string Attribute(const TXmlPart& part, QLatin1String name)
{
    return part.Xml().attributes().value(name).toString().toStdString();
}

// "xl/" and "worksheets/sheet1.xml" give "xl/worksheets/sheet1.xml"; a target
// from the root starts with "/".
std::string PartPath(const std::string& folder, const std::string& target)
{
    const QString path = target.starts_with('/') ? QString::fromStdString(target.substr(1))
                                                 : QString::fromStdString(folder + target);
    return QDir::cleanPath(path).toStdString();
}

std::string FolderOf(const std::string& part)
{
    const size_t slash = part.rfind('/');
    return slash == std::string::npos ? std::string() : part.substr(0, slash + 1);
}

// The relationships of a part: Id to the target's path, and Type's last word to the first such target.
struct TRelations {
    std::map<std::string, std::string> byId;
    std::map<std::string, std::string> byType;
};

TRelations ReadRelations(const TZip& zip, const std::string& part)
{
    TRelations relations;
    const std::string name = FolderOf(part) + "_rels/" + part.substr(FolderOf(part).size()) + ".rels";
    if (!zip.Has(name))
        return relations;
    TXmlPart xml(zip, name, kMaxSmallPartBytes);
    if (xml.NextStart())
        while (xml.NextStart()) {
            if (xml.Xml().name() == u"Relationship" && Attribute(xml, QLatin1String("TargetMode")) != "External") {
                const std::string target = PartPath(FolderOf(part), Attribute(xml, QLatin1String("Target")));
                const std::string type = Attribute(xml, QLatin1String("Type"));
                relations.byId[Attribute(xml, QLatin1String("Id"))] = target;
                relations.byType.emplace(type.substr(type.rfind('/') + 1), target);
            }
            xml.Skip();
        }
    return relations;
}

// OOXML writes characters XML cannot carry as _xHHHH_ (a CR as _x000D_).
QString Unescaped(const QString& text)
{
    if (!text.contains(u"_x"))
        return text;
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        bool ok = false;
        const ushort code = i + 7 <= text.size() && text[i] == u'_' && text[i + 1] == u'x' && text[i + 6] == u'_'
                                ? text.mid(i + 2, 4).toUShort(&ok, 16)
                                : 0;
        if (ok) {
            out += QChar(code);
            i += 6;
        } else {
            out += text[i];
        }
    }
    return out;
}

// At the start of a string item (<si>, <is>): the text of its runs, without
// the phonetic guide (<rPh>) that Japanese Excel stores beside the kanji.
std::string ItemText(TXmlPart& xml)
{
    QString text;
    for (int depth = 1; depth > 0 && xml.Next();) {
        if (xml.Xml().isEndElement())
            --depth;
        else if (!xml.Xml().isStartElement())
            continue;
        else if (xml.Xml().name() == u"t")
            text += xml.Text();
        else if (xml.Xml().name() == u"rPh")
            xml.Skip();
        else
            ++depth;  // a run of rich text and its properties
        if (static_cast<size_t>(text.size()) > kMaxCellBytes)
            xml.RefuseLong();
    }
    return Unescaped(text).toStdString();
}

// Every shared string, one after the other, and where each ends: a few
// bytes a string beside its text, and no more of either than a table holds.
struct TSharedStrings {
    std::string text;
    std::vector<uint32_t> ends;

    std::string_view operator[](size_t index) const
    {
        const size_t begin = index == 0 ? 0 : ends[index - 1];
        return std::string_view(text).substr(begin, ends[index] - begin);
    }
};

TSharedStrings ReadSharedStrings(const TZip& zip, const std::string& part)
{
    TSharedStrings strings;
    if (part.empty() || !zip.Has(part))
        return strings;
    TXmlPart xml(zip, part, kMaxSheetPartBytes);
    if (xml.NextStart())
        while (xml.NextStart()) {
            if (xml.Xml().name() != u"si") {
                xml.Skip();
                continue;
            }
            strings.text += ItemText(xml);
            if (strings.ends.size() >= kMaxListCells || strings.text.size() > kMaxListText)
                throw NotAWorkbook(zip.FileName(), Format("共有文字列が多すぎます（%zu 個、%zu MB まで）", kMaxListCells,
                                                          kMaxListText >> 20));
            strings.ends.push_back(static_cast<uint32_t>(strings.text.size()));
        }
    return strings;
}

enum class TShown : unsigned char { Number, Date, DateTime, Time };

// What a number format shows, read from its first section.
TShown ShownBy(const QString& code)
{
    bool date = false;
    bool time = false;
    bool month = false;
    for (qsizetype i = 0; i < code.size(); ++i) {
        const QChar c = code[i].toLower();
        if (c == u'"') {
            const qsizetype close = code.indexOf(u'"', i + 1);
            i = close < 0 ? code.size() : close;
        } else if (c == u'[') {
            // [h]:mm elapsed time, else a colour or a locale
            const qsizetype close = code.indexOf(u']', i + 1);
            const QString inside = code.mid(i + 1, (close < 0 ? code.size() : close) - i - 1).toLower();
            time = time || (!inside.isEmpty() && inside.count(inside[0]) == inside.size() &&
                            (inside[0] == u'h' || inside[0] == u'm' || inside[0] == u's'));
            i = close < 0 ? code.size() : close;
        } else if (c == u'\\' || c == u'_' || c == u'*') {
            ++i;
        } else if (c == u';') {
            break;
        } else if (code.mid(i, 7).compare(u"general", Qt::CaseInsensitive) == 0) {
            i += 6;
        } else if (c == u'y' || c == u'd' || c == u'g' ||
                   (c == u'e' && (i + 1 >= code.size() || (code[i + 1] != u'+' && code[i + 1] != u'-')))) {
            date = true;
        } else if (c == u'h' || c == u's') {
            time = true;
        } else if (c == u'm') {
            month = true;
        }
    }
    if (month && !time)
        date = true;
    return date && time ? TShown::DateTime : date ? TShown::Date : time ? TShown::Time : TShown::Number;
}

// The built-in formats (those of a Japanese Excel included) that show dates or times.
TShown ShownByBuiltIn(int id)
{
    if ((id >= 14 && id <= 17) || (id >= 27 && id <= 31) || (id >= 34 && id <= 36) || (id >= 50 && id <= 58))
        return TShown::Date;
    if (id == 22)
        return TShown::DateTime;
    if ((id >= 18 && id <= 21) || id == 32 || id == 33 || (id >= 45 && id <= 47))
        return TShown::Time;
    return TShown::Number;
}

// Excel keeps at most 64,000 cell formats in a workbook.
constexpr size_t kMaxStyles = 65536;

// What each cell style (the cell's s) shows its numbers as.
std::vector<TShown> ReadStyles(const TZip& zip, const std::string& part)
{
    std::vector<TShown> shown;
    if (part.empty() || !zip.Has(part))
        return shown;
    TXmlPart xml(zip, part, kMaxSmallPartBytes);
    std::map<int, TShown> codes;
    if (xml.NextStart())
        while (xml.NextStart()) {
            if (xml.Xml().name() == u"numFmts" || xml.Xml().name() == u"cellXfs") {
                const bool formats = xml.Xml().name() == u"numFmts";
                while (xml.NextStart()) {
                    const QXmlStreamAttributes attributes = xml.Xml().attributes();
                    const int id = attributes.value(QLatin1String("numFmtId")).toInt();
                    if (codes.size() >= kMaxStyles || shown.size() >= kMaxStyles)
                        xml.Refuse(Format("書式が %zu を超えています", kMaxStyles));
                    if (formats)
                        codes[id] = ShownBy(attributes.value(QLatin1String("formatCode")).toString());
                    else
                        shown.push_back(codes.contains(id) ? codes[id] : ShownByBuiltIn(id));
                    xml.Skip();
                }
            } else {
                xml.Skip();
            }
        }
    return shown;
}

std::string NumberText(double value)
{
    if (value == 0)
        return "0";
    // Fifteen digits, as Excel shows a number; whole numbers without ".0".
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::general, 15);
    return std::string(text, result.ptr);
}

std::string DateText(double serial, bool from1904, TShown shown)
{
    using namespace std::chrono;
    if (!(serial >= 0 && serial < 2958466))  // to 9999-12-31
        return NumberText(serial);
    long whole = static_cast<long>(std::floor(serial));
    long seconds = std::lround((serial - static_cast<double>(whole)) * 86400);
    if (seconds == 86400) {
        ++whole;
        seconds = 0;
    }
    std::string text;
    if (shown != TShown::Time) {
        year_month_day date{sys_days{1899y / December / 30} + days{whole}};
        if (from1904)
            date = sys_days{1904y / January / 1} + days{whole};
        else if (whole <= 60)
            // Excel counts a 29 February 1900 that never was: serial 60.
            date = whole == 60 ? year_month_day{1900y / February / 29}
                               : year_month_day{sys_days{1899y / December / 31} + days{whole}};
        text = Format("%04d/%02u/%02u", static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                      static_cast<unsigned>(date.day()));
    }
    if (shown != TShown::Date) {
        text += Format(text.empty() ? "%02ld:%02ld" : " %02ld:%02ld", seconds / 3600, seconds / 60 % 60);
        if (seconds % 60 != 0)
            text += Format(":%02ld", seconds % 60);
    }
    return text;
}

struct TWorkbook {
    TSharedStrings strings;
    std::vector<TShown> styles;
    bool from1904 = false;
};

// "C12": column 2 (from 0) and row 12, within Excel's sheet; false for
// anything else.
bool ParseRef(QStringView ref, size_t& column, int& row)
{
    size_t letters = 0;
    qsizetype i = 0;
    for (; i < ref.size() && ref[i] >= u'A' && ref[i] <= u'Z' && letters <= kMaxListColumns; ++i)
        letters = letters * 26 + (ref[i].unicode() - u'A' + 1);
    const qsizetype digits = i;
    long number = 0;
    for (; i < ref.size() && ref[i] >= u'0' && ref[i] <= u'9' && number <= kMaxListRows; ++i)
        number = number * 10 + (ref[i].unicode() - u'0');
    if (digits == 0 || i == digits || i != ref.size() || letters > kMaxListColumns || number < 1 ||
        number > kMaxListRows)
        return false;
    column = letters - 1;
    row = static_cast<int>(number);
    return true;
}

// At the start of a <c>: the cell as Excel shows it.
std::string CellText(TXmlPart& xml, const TWorkbook& book)
{
    const QXmlStreamAttributes attributes = xml.Xml().attributes();
    const QString type = attributes.value(QLatin1String("t")).toString();
    const qsizetype style = attributes.value(QLatin1String("s")).toLongLong();
    std::string value;
    bool inlineText = false;
    while (xml.NextStart()) {
        if (xml.Xml().name() == u"v") {
            value = xml.Text().toStdString();
        } else if (xml.Xml().name() == u"is") {
            value = ItemText(xml);
            inlineText = true;
        } else {
            xml.Skip();  // the formula
        }
    }
    if (inlineText || value.empty() || type == u"str" || type == u"e" || type == u"inlineStr")
        return value;
    if (type == u"s") {
        size_t index = 0;
        const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), index);
        if (error != std::errc() || end != value.data() + value.size() || index >= book.strings.ends.size())
            xml.Refuse("共有文字列 " + value.substr(0, 20) + " がありません");
        return std::string(book.strings[index]);
    }
    if (type == u"b")
        return value == "1" ? "TRUE" : "FALSE";
    if (type == u"d") {
        // An ISO 8601 date, which few writers use.
        std::string date = value.substr(0, 10);
        std::replace(date.begin(), date.end(), '-', '/');
        return date;
    }
    double number = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
    if (error != std::errc() || end != value.data() + value.size())
        return value;
    const TShown shown = style >= 0 && static_cast<size_t>(style) < book.styles.size() ? book.styles[style]
                                                                                       : TShown::Number;
    return shown == TShown::Number ? NumberText(number) : DateText(number, book.from1904, shown);
}

// Rows and their cells by their place in the sheet: a row's number or a
// cell's column may skip blanks, never go back or come twice, since a row
// is later found by its number alone.
void ReadSheet(const TZip& zip, const std::string& part, const TWorkbook& book, TListTable& table)
{
    TXmlPart xml(zip, part, kMaxSheetPartBytes);
    std::vector<std::string> cells;
    int number = 0;
    while (xml.Next()) {
        if (xml.Xml().isEndElement() && xml.Xml().name() == u"sheetData")
            break;
        if (!xml.Xml().isStartElement() || xml.Xml().name() != u"row")
            continue;
        const QXmlStreamAttributes row = xml.Xml().attributes();
        const QString given = row.value(QLatin1String("r")).toString();
        const int previous = number;
        size_t ignored = 0;
        if (given.isEmpty())
            ++number;
        else if (!ParseRef(QStringLiteral("A") + given, ignored, number))
            xml.Refuse("行番号 " + given.left(20).toStdString() + " が正しくありません");
        if (number <= previous)
            xml.Refuse(Format("行番号 %d が %d 行目の後にあります（行は上から順に、同じ番号を重ねずに並ぶものです）",
                              number, previous));
        cells.clear();
        size_t next = 0;  // the column a cell without its reference takes
        while (xml.NextStart()) {
            if (xml.Xml().name() != u"c") {
                xml.Skip();
                continue;
            }
            const QXmlStreamAttributes attributes = xml.Xml().attributes();
            const QString ref = attributes.value(QLatin1String("r")).toString();
            size_t column = next;
            int at = number;
            if (!ref.isEmpty() && !ParseRef(ref, column, at))
                xml.Refuse("セル " + ref.left(20).toStdString() + " の位置が正しくありません");
            if (at != number)
                xml.Refuse(Format("セル %s が %d 行目の中にあります", qPrintable(ref), number));
            if (column < next)
                xml.Refuse(Format("%d 行目のセル %s の列が前のセルと同じか左です", number, qPrintable(ref)));
            if (column >= kMaxListColumns)
                xml.Refuse(Format("%d 行目のセルが %zu 列を超えています", number, kMaxListColumns));
            // An empty cell (a formatted one) widens nothing: a row of them
            // up to column XFD would cost its width in every row.
            if (std::string text = CellText(xml, book); !text.empty()) {
                cells.resize(column + 1);
                cells[column] = std::move(text);
            }
            next = column + 1;
        }
        try {
            table.Append(number, cells);
        } catch (EListError& e) {
            e.SetMessage(zip.FileName() + " の " + e.Message());
            throw;
        }
    }
}

}  // namespace

TListTable ReadWorkbookList(const std::string& FileName)
{
    {
        // Password-protected workbooks and the older .xls are both compound files.
        char magic[8] = {};
        if (FILE* file = std::fopen(FileName.c_str(), "rb")) {
            const size_t got = std::fread(magic, 1, sizeof magic, file);
            std::fclose(file);
            if (got == sizeof magic && std::string_view(magic, 8) == "\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1")
                throw EListError(FileName +
                                 " は読めません。パスワードで保護されたブックか、古い Excel 形式 (.xls) の"
                                 "ファイルです。" + kSaveAgain + "パスワードは外してから保存してください。");
        }
    }
    const TZip zip(FileName);
    std::string workbook = ReadRelations(zip, "").byType["officeDocument"];
    if (workbook.empty())
        workbook = "xl/workbook.xml";
    if (!zip.Has(workbook))
        throw NotAWorkbook(FileName, "ブックの本体 " + workbook + " がありません");

    TWorkbook book;
    std::string firstSheet;
    {
        TXmlPart xml(zip, workbook, kMaxSmallPartBytes);
        while (firstSheet.empty() && xml.Next()) {
            if (!xml.Xml().isStartElement())
                continue;
            const QXmlStreamAttributes attributes = xml.Xml().attributes();
            if (xml.Xml().name() == u"workbookPr") {
                const QStringView flag = attributes.value(QLatin1String("date1904"));
                book.from1904 = flag == u"1" || flag == u"true";
            } else if (xml.Xml().name() == u"sheet") {
                for (const QXmlStreamAttribute& attribute : attributes)
                    if (attribute.name() == u"id")
                        firstSheet = attribute.value().toString().toStdString();
                if (firstSheet.empty())
                    throw NotAWorkbook(FileName, "壊れています: 最初のシートの参照がありません");
            }
        }
    }
    TRelations relations = ReadRelations(zip, workbook);
    const std::string sheet = relations.byId[firstSheet];
    if (firstSheet.empty() || sheet.empty() || !zip.Has(sheet))
        throw NotAWorkbook(FileName, "シートが見つかりません");
    book.strings = ReadSharedStrings(zip, relations.byType["sharedStrings"]);
    book.styles = ReadStyles(zip, relations.byType["styles"]);

    TListTable table;
    try {
        ReadSheet(zip, sheet, book, table);
    } catch (const std::bad_alloc&) {
        throw NotAWorkbook(FileName, "大きすぎます");
    }
    if (table.HeaderRow() == 0)
        throw EListError(FileName + " の最初のシートに見出しの行がありません（空のシートです）。");
    return table;
}
