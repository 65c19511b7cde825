// Excel lists: the first sheet of an .xlsx workbook, read with libzip and
// QXmlStreamReader. The sheet is read as a stream, row by row, straight out
// of the archive; only the shared strings and the styles are held whole,
// since cells refer to them by number.
#include <zip.h>

#include <QDir>
#include <QIODevice>
#include <QXmlStreamReader>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "engine/ListTable.h"

namespace {

const char kSaveAgain[] =
    "Excel で開き、「名前を付けて保存」で「Excel ブック (*.xlsx)」か「CSV UTF-8 (コンマ区切り) (*.csv)」を選んで"
    "保存し直し、そのファイルを指定してください。";

EListError NotAWorkbook(const std::string& fileName, const std::string& why)
{
    return EListError(fileName + " は Excel ブック (.xlsx) として読めません（" + why + "）。" + kSaveAgain);
}

// The archive, opened read-only; its parts are read one at a time.
class TZip {
public:
    explicit TZip(const std::string& fileName) : fileName_(fileName)
    {
        int error = 0;
        zip_ = zip_open(fileName.c_str(), ZIP_RDONLY, &error);
        if (zip_ == nullptr) {
            if (error == ZIP_ER_OPEN || error == ZIP_ER_READ || error == ZIP_ER_NOENT)
                throw EFOpenError(fileName);
            throw NotAWorkbook(fileName, error == ZIP_ER_NOZIP ? "ZIP 形式のファイルではありません" : "壊れています");
        }
    }
    ~TZip() { zip_discard(zip_); }
    TZip(const TZip&) = delete;
    TZip& operator=(const TZip&) = delete;

    bool Has(const std::string& name) const { return zip_name_locate(zip_, name.c_str(), 0) >= 0; }
    zip_t* Handle() const { return zip_; }
    const std::string& FileName() const { return fileName_; }

private:
    std::string fileName_;
    zip_t* zip_ = nullptr;
};

// One part of the archive as the device QXmlStreamReader pulls from, so
// that it is inflated as it is read.
class TZipPart : public QIODevice {
public:
    TZipPart(const TZip& zip, const std::string& name) : zip_(zip), name_(name)
    {
        file_ = zip_fopen(zip.Handle(), name.c_str(), 0);
        if (file_ == nullptr) {
            const int error = zip_error_code_zip(zip_get_error(zip.Handle()));
            throw NotAWorkbook(zip.FileName(), error == ZIP_ER_NOPASSWD || error == ZIP_ER_ENCRNOTSUPP
                                                   ? "パスワードで保護されています"
                                                   : "ブックの一部 " + name + " が読めません");
        }
        open(QIODevice::ReadOnly);
    }
    ~TZipPart() override
    {
        close();
        zip_fclose(file_);
    }

    bool isSequential() const override { return true; }
    bool atEnd() const override { return end_ && QIODevice::bytesAvailable() == 0; }
    // Raises the workbook's error when the part or its XML was broken.
    void Check(const QXmlStreamReader& xml) const
    {
        if (failed_)
            throw NotAWorkbook(zip_.FileName(), "壊れています: " + name_ + " が展開できません");
        if (xml.hasError())
            throw NotAWorkbook(zip_.FileName(), "壊れています: " + name_ + " の " +
                                                    std::to_string(xml.lineNumber()) + " 行目: " +
                                                    xml.errorString().toStdString());
    }

protected:
    qint64 readData(char* data, qint64 size) override
    {
        const zip_int64_t got = zip_fread(file_, data, static_cast<zip_uint64_t>(size));
        if (got < 0) {
            failed_ = true;
            return -1;
        }
        end_ = got == 0;
        return got;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    const TZip& zip_;
    std::string name_;
    zip_file_t* file_ = nullptr;
    bool end_ = false;
    bool failed_ = false;
};

std::string Attribute(const QXmlStreamReader& xml, QLatin1String name)
{
    return xml.attributes().value(name).toString().toStdString();
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
    TZipPart device(zip, name);
    QXmlStreamReader xml(&device);
    if (xml.readNextStartElement())
        while (xml.readNextStartElement()) {
            if (xml.name() == u"Relationship" && Attribute(xml, QLatin1String("TargetMode")) != "External") {
                const std::string target = PartPath(FolderOf(part), Attribute(xml, QLatin1String("Target")));
                const std::string type = Attribute(xml, QLatin1String("Type"));
                relations.byId[Attribute(xml, QLatin1String("Id"))] = target;
                relations.byType.emplace(type.substr(type.rfind('/') + 1), target);
            }
            xml.skipCurrentElement();
        }
    device.Check(xml);
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
std::string ItemText(QXmlStreamReader& xml)
{
    QString text;
    for (int depth = 1; depth > 0 && !xml.atEnd();) {
        xml.readNext();
        if (xml.isEndElement())
            --depth;
        else if (!xml.isStartElement())
            continue;
        else if (xml.name() == u"t")
            text += xml.readElementText();
        else if (xml.name() == u"rPh")
            xml.skipCurrentElement();
        else
            ++depth;  // a run of rich text and its properties
    }
    return Unescaped(text).toStdString();
}

std::vector<std::string> ReadSharedStrings(const TZip& zip, const std::string& part)
{
    std::vector<std::string> strings;
    if (part.empty() || !zip.Has(part))
        return strings;
    TZipPart device(zip, part);
    QXmlStreamReader xml(&device);
    if (xml.readNextStartElement())
        while (xml.readNextStartElement()) {
            if (xml.name() == u"si")
                strings.push_back(ItemText(xml));
            else
                xml.skipCurrentElement();
        }
    device.Check(xml);
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

// What each cell style (the cell's s) shows its numbers as.
std::vector<TShown> ReadStyles(const TZip& zip, const std::string& part)
{
    std::vector<TShown> shown;
    if (part.empty() || !zip.Has(part))
        return shown;
    TZipPart device(zip, part);
    QXmlStreamReader xml(&device);
    std::map<int, QString> codes;
    if (xml.readNextStartElement())
        while (xml.readNextStartElement()) {
            if (xml.name() == u"numFmts" || xml.name() == u"cellXfs") {
                const bool formats = xml.name() == u"numFmts";
                while (xml.readNextStartElement()) {
                    const int id = xml.attributes().value(QLatin1String("numFmtId")).toInt();
                    if (formats)
                        codes[id] = xml.attributes().value(QLatin1String("formatCode")).toString();
                    else
                        shown.push_back(codes.contains(id) ? ShownBy(codes[id]) : ShownByBuiltIn(id));
                    xml.skipCurrentElement();
                }
            } else {
                xml.skipCurrentElement();
            }
        }
    device.Check(xml);
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
    std::vector<std::string> strings;
    std::vector<TShown> styles;
    bool from1904 = false;
};

// "C12" is column 2; -1 when Ref names no column within Excel's 16384.
long ColumnOf(QStringView ref)
{
    long column = 0;
    qsizetype i = 0;
    for (; i < ref.size() && ref[i] >= u'A' && ref[i] <= u'Z' && column <= 16384; ++i)
        column = column * 26 + (ref[i].unicode() - u'A' + 1);
    return i == 0 || column > 16384 ? -1 : column - 1;
}

// At the start of a <c>: the cell as Excel shows it.
std::string CellText(QXmlStreamReader& xml, const TWorkbook& book, const TZip& zip)
{
    const QXmlStreamAttributes attributes = xml.attributes();
    const QString type = attributes.value(QLatin1String("t")).toString();
    const qsizetype style = attributes.value(QLatin1String("s")).toLongLong();
    std::string value;
    bool inlineText = false;
    while (xml.readNextStartElement()) {
        if (xml.name() == u"v") {
            value = xml.readElementText().toStdString();
        } else if (xml.name() == u"is") {
            value = ItemText(xml);
            inlineText = true;
        } else {
            xml.skipCurrentElement();  // the formula
        }
    }
    if (inlineText || value.empty() || type == u"str" || type == u"e" || type == u"inlineStr")
        return value;
    if (type == u"s") {
        size_t index = 0;
        const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), index);
        if (error != std::errc() || end != value.data() + value.size() || index >= book.strings.size())
            throw NotAWorkbook(zip.FileName(), "壊れています: 共有文字列 " + value + " がありません");
        return book.strings[index];
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

void ReadSheet(const TZip& zip, const std::string& part, const TWorkbook& book, TListTable& table)
{
    TZipPart device(zip, part);
    QXmlStreamReader xml(&device);
    std::vector<std::string> cells;
    int number = 0;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isEndElement() && xml.name() == u"sheetData")
            break;
        if (!xml.isStartElement() || xml.name() != u"row")
            continue;
        const int given = xml.attributes().value(QLatin1String("r")).toInt();
        number = given > 0 ? given : number + 1;
        cells.clear();
        long column = -1;
        while (xml.readNextStartElement()) {
            if (xml.name() != u"c") {
                xml.skipCurrentElement();
                continue;
            }
            const QXmlStreamAttributes attributes = xml.attributes();
            const QStringView ref = attributes.value(QLatin1String("r"));
            column = ref.isEmpty() ? column + 1 : ColumnOf(ref);
            if (column < 0 || column >= 16384)
                throw NotAWorkbook(zip.FileName(), "壊れています: セル " + ref.toString().toStdString());
            std::string text = CellText(xml, book, zip);
            if (static_cast<size_t>(column) >= cells.size())
                cells.resize(static_cast<size_t>(column) + 1);
            cells[static_cast<size_t>(column)] = std::move(text);
        }
        table.Append(number, cells);
    }
    device.Check(xml);
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
        TZipPart device(zip, workbook);
        QXmlStreamReader xml(&device);
        while (!xml.atEnd() && firstSheet.empty()) {
            xml.readNext();
            if (!xml.isStartElement())
                continue;
            if (xml.name() == u"workbookPr") {
                const QXmlStreamAttributes attributes = xml.attributes();
                const QStringView flag = attributes.value(QLatin1String("date1904"));
                book.from1904 = flag == u"1" || flag == u"true";
            } else if (xml.name() == u"sheet") {
                for (const QXmlStreamAttribute& attribute : xml.attributes())
                    if (attribute.name() == u"id")
                        firstSheet = attribute.value().toString().toStdString();
                if (firstSheet.empty())
                    throw NotAWorkbook(FileName, "壊れています: 最初のシートの参照がありません");
            }
        }
        if (firstSheet.empty())
            device.Check(xml);
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
