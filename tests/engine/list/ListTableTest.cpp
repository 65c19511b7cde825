// Recipient lists as tables (CSV, TSV, Excel workbooks written by openpyxl)
// and the merge fields composed from their rows.
#include <gtest/gtest.h>

#include <iconv.h>

#include <sys/resource.h>

#include <QProcess>
#include <QTemporaryDir>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "engine/list/ListTable.h"
#include "engine/list/MergeFields.h"
#include "engine/list/RecipientSource.h"

namespace {

using namespace std::string_literals;

// Fixtures in other code pages, made with glibc's converter directly.
std::string Encoded(const std::string& utf8, const char* charset)
{
    iconv_t cd = iconv_open(charset, "UTF-8");
    std::string out(utf8.size() * 4, '\0');
    char* in = const_cast<char*>(utf8.data());
    char* to = out.data();
    size_t inLeft = utf8.size(), outLeft = out.size();
    const size_t done = iconv(cd, &in, &inLeft, &to, &outLeft);
    iconv_close(cd);
    EXPECT_NE(done, static_cast<size_t>(-1)) << utf8;
    out.resize(out.size() - outLeft);
    return out;
}

bool HasAt(std::string_view cell) { return cell.find('@') != std::string_view::npos; }

using Rows = std::vector<std::pair<int, std::vector<std::string>>>;

void ExpectTable(const TListTable& table, const std::vector<std::string>& header, const Rows& rows)
{
    EXPECT_EQ(table.Header(), header);
    ASSERT_EQ(table.Rows(), rows.size());
    for (size_t r = 0; r < rows.size(); ++r) {
        EXPECT_EQ(table.RowNumber(r), rows[r].first) << r;
        std::vector<std::string> cells;
        for (size_t c = 0; c < table.Columns(); ++c)
            cells.emplace_back(table.Cell(r, c));
        EXPECT_EQ(cells, rows[r].second) << "row " << rows[r].first;
    }
}

struct CsvCase {
    const char* what;
    std::string bytes;
    char delimiter;
    std::vector<std::string> header;
    Rows rows;
    int address, name;   // columns, -1: none
    std::string refusal;  // part of the message when the list is refused
};

TEST(ListTable, DelimitedFiles)
{
    const CsvCase cases[] = {
        {"BOM UTF-8, CR LF", "\xef\xbb\xbf" "メールアドレス,氏名,敬称\r\ntaro@example.jp,山田太郎,御中\r\n", ',',
         {"メールアドレス", "氏名", "敬称"}, {{2, {"taro@example.jp", "山田太郎", "御中"}}}, 0, 1, ""},
        {"UTF-8, LF, no final line end", "名前,E-mail\n佐藤 花子,hanako@example.jp", ',', {"名前", "E-mail"},
         {{2, {"佐藤 花子", "hanako@example.jp"}}}, 1, 0, ""},
        {"CP932 with NEC and IBM characters", Encoded("会社名,メール\r\n①㈱髙島屋ソフト表,a@example.jp\r\n", "CP932"), ',',
         {"会社名", "メール"}, {{2, {"①㈱髙島屋ソフト表", "a@example.jp"}}}, 1, -1, ""},
        {"quoted delimiters, line breaks and doubled quotes",
         "mail,備考\r\na@example.jp,\"東京都, 港区\r\n2階\"\nb@example.jp,\"彼は\"\"社長\"\"\"\n", ',',
         {"mail", "備考"}, {{2, {"a@example.jp", "東京都, 港区\r\n2階"}}, {3, {"b@example.jp", "彼は\"社長\""}}}, 0, -1, ""},
        {"widths and case of the headings", "ﾒｰﾙｱﾄﾞﾚｽ,Ｎａｍｅ\nc@example.jp,C\n", ',', {"ﾒｰﾙｱﾄﾞﾚｽ", "Ｎａｍｅ"},
         {{2, {"c@example.jp", "C"}}}, 0, 1, ""},
        {"address column found by its cells; blank rows keep their numbers",
         "番号,連絡先,宛名\n\n1,a@example.jp,A\n,,\n2,,B\n3,b@example.jp,\n", ',', {"番号", "連絡先", "宛名"},
         {{3, {"1", "a@example.jp", "A"}}, {5, {"2", "", "B"}}, {6, {"3", "b@example.jp", ""}}}, 1, 2, ""},
        {"duplicate headings, a short row and a long one", "EMAIL,会社名,会社名\na@example.jp,A社\nb@example.jp,B,C,D\n",
         ',', {"EMAIL", "会社名", "会社名", ""}, {{2, {"a@example.jp", "A社", "", ""}}, {3, {"b@example.jp", "B", "C", "D"}}},
         0, -1, ""},
        {"TSV with a quoted tab", "mail\tname\na@example.jp\t\"山田\t太郎\"\n", '\t', {"mail", "name"},
         {{2, {"a@example.jp", "山田\t太郎"}}}, 0, 1, ""},
        {"UTF-16 from Excel's Unicode text", "\xff\xfe" + Encoded("メール\t氏名\r\na@example.jp\t髙橋\r\n", "UTF-16LE"),
         '\t', {"メール", "氏名"}, {{2, {"a@example.jp", "髙橋"}}}, 0, 1, ""},
        {"no address column", "氏名,会社名\n山田,㈱X\n", ',', {}, {}, 0, 0,
         "メールアドレスの列が見つかりません。見出しの行に「メールアドレス」と書いた列を作ってください。見出し: 氏名、会社名"},
        {"no header row", "a@example.jp,山田\nb@example.jp,佐藤\n", ',', {}, {}, 0, 0,
         "1 行目が見出しではなくメールアドレス (a@example.jp) です。"},
        {"a field in neither code page", "mail,name\na@example.jp,ok\nb@example.jp,\xff\xfe\n", ',', {}, {}, 0, 0,
         "3 行目の B 列: UTF-8 としても Shift_JIS としても読めません"},
        {"a quote left open", "mail,name\na@example.jp,\"x\n", ',', {}, {}, 0, 0, "2 行目の B 列: 「\"」で始まる項目が閉じられていません"},
        {"a BOM with broken UTF-8", "\xef\xbb\xbfmail\n\xe3\x81\n", ',', {}, {}, 0, 0, "2 行目の A 列: UTF-8 として正しくない"},
        {"broken UTF-16", "\xff\xfem\0\n\0\x00\xd8"s, '\t', {}, {}, 0, 0, "2 行目: UTF-16 として正しくないバイトがあります"},
        {"UTF-8 headings over CP932 rows", "メールアドレス,氏名\r\n" + Encoded("a@example.jp,山田\r\n", "CP932"), ',', {}, {},
         0, 0, "UTF-8 と Shift_JIS の行が混じっています（1 行目は UTF-8、2 行目は Shift_JIS）"},
        {"a zero byte in a cell", "mail,name\na@example.jp,山\0田\n"s, ',', {}, {}, 0, 0,
         "2 行目の B 列: NUL 文字 (0x00) があります"},
        {"nothing but blank lines", "\r\n,,\r\n", ',', {}, {}, 0, 0, "見出しの行がありません"},
    };
    for (const CsvCase& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            const TListTable table = ReadDelimitedList(c.bytes, c.delimiter);
            const TListColumns columns = FindListColumns(table, HasAt);
            EXPECT_EQ(c.refusal, "");
            ExpectTable(table, c.header, c.rows);
            EXPECT_EQ(static_cast<int>(columns.Address), c.address);
            EXPECT_EQ(columns.Name ? static_cast<int>(*columns.Name) : -1, c.name);
            EXPECT_EQ(columns.Honorific.has_value(), table.Header().back() == "敬称");
        } catch (const EListError& e) {
            EXPECT_NE(c.refusal, "") << e.Message();
            EXPECT_NE(e.Message().find(c.refusal), std::string::npos) << e.Message();
        }
    }
}

class ListFiles : public ::testing::Test {
protected:
    std::string Path(const char* name) const { return dir_.filePath(name).toStdString(); }
    // Runs Python on the script with the folder as its argument.
    void Python(const char* script) const { Python({"-c", script, dir_.path()}); }
    void Python(const QStringList& arguments) const
    {
        QProcess python;
        python.start(VELTROW_PYTHON, arguments);
        ASSERT_TRUE(python.waitForFinished(-1));
        ASSERT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
    }

    QTemporaryDir dir_;
};

TEST_F(ListFiles, WorkbookFirstSheet)
{
    Python(R"(
import datetime, sys, openpyxl
book = openpyxl.Workbook()
sheet = book.active
sheet.append(['氏名', 'メールアドレス', '会社名', '番号', '誕生日', '値'])
sheet.append(['山田 太郎', 'taro@example.jp', '㈱山田', 42, datetime.date(2024, 5, 1), 3.25])
sheet.append(['佐藤', 'sato@example.jp', None, 9012345678, datetime.datetime(1999, 12, 31, 18, 30), True])
sheet.append([])
sheet.append(['髙橋', 'taka@example.jp', '㈱山田', -0.5, None, '=1+1'])
book.create_sheet('その他').append(['other@example.jp'])
book.save(sys.argv[1] + '/list.xlsx')
)");
    // As openpyxl writes the texts (inline), then as Excel does (shared).
    for (const bool shared : {false, true}) {
        SCOPED_TRACE(shared ? "shared strings" : "inline strings");
        if (shared)
            Python({VELTROW_SOURCE_DIR "/tests/engine/share_strings.py", dir_.filePath("list.xlsx")});
        const std::optional<TListTable> table = ReadListTable(Path("list.xlsx"));
        ASSERT_TRUE(table);
        ExpectTable(*table, {"氏名", "メールアドレス", "会社名", "番号", "誕生日", "値"},
                    {{2, {"山田 太郎", "taro@example.jp", "㈱山田", "42", "2024/05/01", "3.25"}},
                     {3, {"佐藤", "sato@example.jp", "", "9012345678", "1999/12/31 18:30", "TRUE"}},
                     {5, {"髙橋", "taka@example.jp", "㈱山田", "-0.5", "", ""}}});
        EXPECT_EQ(FindListColumns(*table, HasAt).Address, 1u);
    }
}

// What Japanese Excel writes and openpyxl does not: inline and rich text
// with its phonetic guide, escaped line breaks, the 1904 date system.
TEST_F(ListFiles, WorkbookTextForms)
{
    Python(R"(
import sys, zipfile
ns = 'xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"'
rel = 'http://schemas.openxmlformats.org/officeDocument/2006/relationships'
with zipfile.ZipFile(sys.argv[1] + '/forms.xlsx', 'w') as z:
    z.writestr('_rels/.rels', '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
               '<Relationship Id="r1" Type="%s/officeDocument" Target="/xl/workbook.xml"/></Relationships>' % rel)
    z.writestr('xl/workbook.xml', '<workbook %s xmlns:r="%s"><workbookPr date1904="1"/><sheets>'
               '<sheet name="a" sheetId="2" r:id="rA"/><sheet name="b" sheetId="1" r:id="rB"/></sheets></workbook>' % (ns, rel))
    z.writestr('xl/_rels/workbook.xml.rels', '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
               '<Relationship Id="rA" Type="%s/worksheet" Target="worksheets/a.xml"/>'
               '<Relationship Id="rB" Type="%s/worksheet" Target="worksheets/b.xml"/>'
               '<Relationship Id="rS" Type="%s/sharedStrings" Target="strings.xml"/>'
               '<Relationship Id="rT" Type="%s/styles" Target="styles.xml"/></Relationships>' % (rel, rel, rel, rel))
    z.writestr('xl/strings.xml', '<sst %s><si><t>mail</t></si><si><r><t>東京</t></r><r><rPr><b/></rPr><t>支店</t></r>'
               '<rPh sb="0" eb="2"><t>トウキョウ</t></rPh><phoneticPr fontId="1"/></si></sst>' % ns)
    z.writestr('xl/styles.xml', '<styleSheet %s><numFmts count="2"><numFmt numFmtId="176" formatCode="[$-411]ggge&quot;年&quot;m&quot;月&quot;d&quot;日&quot;"/>'
               '<numFmt numFmtId="177" formatCode="0.00E+00"/></numFmts><cellStyleXfs><xf numFmtId="14"/></cellStyleXfs>'
               '<cellXfs><xf numFmtId="0"/><xf numFmtId="176"/><xf numFmtId="177"/></cellXfs></styleSheet>' % ns)
    z.writestr('xl/worksheets/a.xml', '<worksheet %s><sheetData><row r="1"><c r="A1" t="s"><v>0</v></c><c r="C1" t="inlineStr">'
               '<is><t>備考</t></is></c></row><row r="2"><c r="A2" t="str"><f>B1</f><v>x@example.jp</v></c><c r="B2" t="s"><v>1</v></c>'
               '<c r="C2" t="inlineStr"><is><t>1行目_x000D_&#10;2行目</t></is></c><c r="D2" s="1"><v>0</v></c><c s="2"><v>1234.5</v></c></row></sheetData></worksheet>' % ns)
    z.writestr('xl/worksheets/b.xml', '<worksheet %s><sheetData><row r="1"><c r="A1" t="inlineStr"><is><t>second</t></is></c></row>'
               '</sheetData></worksheet>' % ns)
)");
    ExpectTable(ReadWorkbookList(Path("forms.xlsx")), {"mail", "", "備考", "", ""},
                {{2, {"x@example.jp", "東京支店", "1行目\r\n2行目", "1904/01/01", "1234.5"}}});
}

TEST_F(ListFiles, UnreadableWorkbooksRefused)
{
    Python(R"(
import sys, zipfile
d = sys.argv[1]
open(d + '/ole.xlsx', 'wb').write(bytes.fromhex('d0cf11e0a1b11ae1') + bytes(504))
open(d + '/text.xlsx', 'w').write('mail\na@example.jp\n')
with zipfile.ZipFile(d + '/other.xlsx', 'w') as z:
    z.writestr('readme.txt', 'no workbook')
with zipfile.ZipFile(d + '/nosheet.xlsx', 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('xl/workbook.xml', '<workbook><sheets><sheet r:id="r1" xmlns:r="x"/></sheets>')
with zipfile.ZipFile(d + '/broken.xlsx', 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('xl/workbook.xml', '<workbook><sheets></wrong>')
)");
    const std::pair<const char*, const char*> cases[] = {
        {"ole.xlsx", "パスワードで保護されたブックか、古い Excel 形式 (.xls)"},
        {"text.xlsx", "ZIP 形式のファイルではありません"},
        {"other.xlsx", "ブックの本体 xl/workbook.xml がありません"},
        {"nosheet.xlsx", "シートが見つかりません"},
        {"broken.xlsx", "壊れています: xl/workbook.xml の 1 行目"},
    };
    for (const auto& [name, why] : cases) {
        SCOPED_TRACE(name);
        try {
            ReadListTable(Path(name));
            ADD_FAILURE() << "read";
        } catch (const EListError& e) {
            EXPECT_NE(e.Message().find(why), std::string::npos) << e.Message();
            EXPECT_NE(e.Message().find("「名前を付けて保存」"), std::string::npos) << e.Message();
        }
    }
    std::ofstream(Path("list.txt")) << "a@example.jp\n";
    EXPECT_FALSE(ReadListTable(Path("list.txt")));
    // A CSV file past its limit is refused before it is read (sparse here).
    std::ofstream(Path("huge.csv")) << "mail\n";
    std::filesystem::resize_file(Path("huge.csv"), kMaxListFileBytes + 1);
    try {
        ReadListTable(Path("huge.csv"));
        ADD_FAILURE() << "read";
    } catch (const EListError& e) {
        EXPECT_NE(e.Message().find("huge.csv は大きすぎます（CSV・TSV の宛先リストは 128 MB まで）"), std::string::npos)
            << e.Message();
    }
}

// A workbook of one sheet: Python's expressions for the sheet data (a text
// or an iterable of texts, streamed) and the shared strings; Broken names a
// part whose compressed bytes are then spoilt, from the first byte ("first")
// or from the middle on ("cut"); "directory" points the archive's directory past its end.
const char* const kBookScript = R"(
import struct, sys, zipfile
d, name, sheet, shared, broken, how = sys.argv[1:7]
ns = 'xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"'
rel = 'http://schemas.openxmlformats.org/officeDocument/2006/relationships'
path = d + '/' + name
with zipfile.ZipFile(path, 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('xl/workbook.xml', '<workbook %s xmlns:r="%s"><sheets><sheet name="a" sheetId="1" r:id="rA"/></sheets></workbook>' % (ns, rel))
    z.writestr('xl/_rels/workbook.xml.rels', '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
               '<Relationship Id="rA" Type="%s/worksheet" Target="worksheets/sheet1.xml"/>'
               '<Relationship Id="rS" Type="%s/sharedStrings" Target="sharedStrings.xml"/></Relationships>' % (rel, rel))
    z.writestr('xl/sharedStrings.xml', '<sst %s>%s</sst>' % (ns, eval(shared)))
    with z.open('xl/worksheets/sheet1.xml', 'w', force_zip64=True) as f:
        f.write(('<worksheet %s><sheetData>' % ns).encode())
        parts = eval(sheet)
        for part in [parts] if isinstance(parts, str) else parts:
            f.write(part.encode())
        f.write(b'</sheetData></worksheet>')
if how == 'directory':
    data = open(path, 'rb').read()
    end = data.rfind(b'PK\x05\x06') + 16
    open(path, 'wb').write(data[:end] + struct.pack('<I', len(data) + 1000) + data[end + 4:])
elif broken:
    info = zipfile.ZipFile(path).getinfo(broken)
    with open(path, 'r+b') as f:
        f.seek(info.header_offset + 26)
        start = info.header_offset + 30 + sum(struct.unpack('<HH', f.read(4)))
        skip = 0 if how == 'first' else info.compress_size // 2
        f.seek(start + skip)
        f.write((b'\xff' if how == 'first' else b'\0') * (info.compress_size - skip))
)";

// A row of inline texts, as openpyxl writes it.
std::string InlineRow(const char* r, std::initializer_list<std::pair<const char*, const char*>> cells)
{
    std::string row = r[0] ? Format("<row r=\"%s\">", r) : std::string("<row>");
    for (const auto& [ref, text] : cells)
        row += (ref[0] ? Format("<c r=\"%s\" t=\"inlineStr\">", ref) : std::string("<c t=\"inlineStr\">")) +
               "<is><t>" + text + "</t></is></c>";
    return row + "</row>";
}

class Workbooks : public ListFiles {
protected:
    std::string Book(const char* name, const std::string& sheet, const std::string& shared = "''",
                     const char* broken = "", const char* how = "")
    {
        Python({"-c", kBookScript, dir_.path(), name, QString::fromStdString(sheet), QString::fromStdString(shared),
                broken, how});
        return Path(name);
    }
};

// Rows and cells stand where the sheet puts them, or the workbook is refused
// naming the row; a row is never read as another.
TEST_F(Workbooks, RowsAndCellsOnlyGoDownAndRight)
{
    const std::string head = InlineRow("1", {{"A1", "メールアドレス"}, {"B1", "氏名"}, {"C1", "秘密"}});
    const auto row = [](const char* r, const char* mail, const char* name, const char* secret) {
        const std::string n(r);
        return InlineRow(r, {{("A" + n).c_str(), mail}, {("B" + n).c_str(), name}, {("C" + n).c_str(), secret}});
    };
    const struct {
        const char* what;
        std::string rows;
        const char* refusal;
    } cases[] = {
        {"rows 2, 4, 3", row("2", "二@example.jp", "二", "s2") + row("4", "四@example.jp", "四", "s4") +
                             row("3", "三@example.jp", "三", "s3"),
         "壊れています: 行番号 3 が 4 行目の後にあります"},
        {"rows 2, 2, 2", row("2", "a@example.jp", "A", "sa") + row("2", "b@example.jp", "B", "sb"),
         "壊れています: 行番号 2 が 2 行目の後にあります"},
        {"row 1 again", row("1", "a@example.jp", "A", "sa"), "行番号 1 が 1 行目の後にあります"},
        {"a row number of no row", InlineRow("2x", {{"", "a@example.jp"}}), "行番号 2x が正しくありません"},
        {"past the sheet's last row", InlineRow("1048577", {{"", "a@example.jp"}}), "行番号 1048577 が正しくありません"},
        {"cells backwards", InlineRow("2", {{"C2", "s"}, {"A2", "a@example.jp"}}),
         "2 行目のセル A2 の列が前のセルと同じか左です"},
        {"a cell twice", InlineRow("2", {{"A2", "a@example.jp"}, {"A2", "b@example.jp"}}),
         "2 行目のセル A2 の列が前のセルと同じか左です"},
        {"a cell after one that has no reference", InlineRow("2", {{"", "a@example.jp"}, {"A2", "b@example.jp"}}),
         "2 行目のセル A2 の列が"},
        {"a cell of another row", InlineRow("2", {{"A3", "a@example.jp"}}), "セル A3 が 2 行目の中にあります"},
        {"a cell without its row", InlineRow("2", {{"A", "a@example.jp"}}), "セル A の位置が正しくありません"},
        {"a cell past column XFD", InlineRow("2", {{"XFE2", "a@example.jp"}}), "セル XFE2 の位置が正しくありません"},
        {"rows and cells skipping blanks, some without their references",
         row("3", "三@example.jp", "三", "s3") + InlineRow("", {{"", "四@example.jp"}, {"", "四"}, {"", "s4"}}) +
             InlineRow("7", {{"A7", "七@example.jp"}, {"", "七"}, {"D7", "x"}}) +
             row("8", "八@example.jp", "八", "s8").insert(row("8", "八@example.jp", "八", "s8").size() - 6, "<c r=\"XFD8\" s=\"1\"/>"),
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string book = Book("order.xlsx", "'''" + head + c.rows + "'''");
        try {
            const TRecipientSource source(ReadWorkbookList(book), "{{氏名}}様", "{{秘密}}");
            EXPECT_STREQ(c.refusal, "");
            // A formatted empty cell at column XFD widens nothing.
            EXPECT_EQ(source.Table()->Columns(), 4u);
            const std::vector<TPlanEntry> entries = source.TableEntries({});
            const std::vector<std::tuple<int, std::string, std::string>> seen{
                {3, "三@example.jp", "s3"}, {4, "四@example.jp", "s4"}, {7, "七@example.jp", ""}, {8, "八@example.jp", "s8"}};
            ASSERT_EQ(entries.size(), seen.size());
            for (size_t i = 0; i < entries.size(); ++i) {
                const auto& [line, address, secret] = seen[i];
                EXPECT_EQ(entries[i].Line, line);
                const std::optional<TRecipientSource::TRow> r = source.Row(entries[i]);
                ASSERT_TRUE(r);
                EXPECT_EQ(r->Address, address);
                EXPECT_EQ(source.Body(r->Merge), secret);
            }
            // A line the table lacks is an error, never the row before or after it.
            for (const int line : {1, 5, 9})
                EXPECT_THROW(source.Row(TPlanEntry{line, "三@example.jp"}), Exception) << line;
        } catch (const EListError& e) {
            EXPECT_STRNE(c.refusal, "") << e.Message();
            EXPECT_NE(e.Message().find(c.refusal), std::string::npos) << e.Message();
            EXPECT_NE(e.Message().find("order.xlsx"), std::string::npos) << e.Message();
        }
    }
    // Whatever reads a list, a row number only grows.
    TListTable table({"mail"}, 2);
    for (const int number : {1, 2, 3, 3}) {
        std::vector<std::string> cells{"a@example.jp"};
        if (number == 3 && table.Rows() == 0)
            table.Append(number, cells);
        else
            EXPECT_THROW(table.Append(number, cells), EListError) << number;
    }
}

// Workbooks made to never finish or to take all memory are refused at once,
// saying which limit they passed.
TEST_F(Workbooks, HostileWorkbooksAreRefusedWithinBoundedWork)
{
    const std::string head = "'" + InlineRow("1", {{"A1", "mail"}, {"B1", "text"}}) + "'";
    const std::string rows = "'" + InlineRow("2", {{"A2", "a@example.jp"}, {"B2", "x"}}) + "'";
    const std::string many = "'" + InlineRow("", {{"", "a@example.jp"}, {"", "x"}}) + "'";
    // Shared string 0 in the second column of N rows.
    const auto sharing = [&](int n) {
        return Format("[%s] + ['<row><c t=\"inlineStr\"><is><t>a@example.jp</t></is></c><c t=\"s\"><v>0</v></c></row>'] * %d",
                      head.c_str(), n);
    };
    const struct {
        const char* what;
        std::string sheet;
        std::string shared;
        const char* broken;
        const char* how;
        const char* refusal;
    } cases[] = {
        {"workbook broken from its first byte", head + "+" + rows, "''", "xl/workbook.xml", "first",
         "壊れています: xl/workbook.xml が展開できません"},
        {"sheet broken from its first byte", head + "+" + rows, "''", "xl/worksheets/sheet1.xml", "first",
         "壊れています: xl/worksheets/sheet1.xml が展開できません"},
        {"sheet cut in the middle", "[" + head + "] + [" + many + "] * 5000", "''", "xl/worksheets/sheet1.xml", "cut",
         "壊れています: xl/worksheets/sheet1.xml "},
        {"central directory broken", head + "+" + rows, "''", "", "directory", "（壊れています）"},
        {"shared strings broken", head + "+" + rows, "'<si><t>x</t></si>' * 100", "xl/sharedStrings.xml", "first",
         "壊れています: xl/sharedStrings.xml が展開できません"},
        {"a 1 MB shared string in 4,000 rows", sharing(4000), "'<si><t>' + 'x' * (1 << 20) + '</t></si>'", "", "",
         "セルの内容が長すぎます（131068 文字まで）"},
        {"a 100 KB shared string in 4,000 rows", sharing(4000), "'<si><t>' + 'x' * 100000 + '</t></si>'", "", "",
         "リストが大きすぎます（セルは 8388608 個、文字は 256 MB まで）"},
        {"a cell at column XFD in 100,000 rows",
         "[" + head + "] + ['<row r=\"%d\"><c r=\"A%d\"><v>1</v></c><c r=\"XFD%d\"><v>2</v></c></row>' % (i, i, i) "
                      "for i in range(2, 100002)]",
         "''", "", "", "リストが大きすぎます（セルは 8388608 個"},
        {"64 MB of blanks in a cell",
         "[" + head + ", '<row><c t=\"inlineStr\"><is><t>'] + [' ' * (1 << 20)] * 64 + ['</t></is></c></row>']", "''", "",
         "", "xl/worksheets/sheet1.xml に大きすぎる項目があります（1 つの項目は 1024 KB まで）"},
        {"64 MB of blanks between rows", "[" + head + "] + [' ' * (1 << 20)] * 64 + [" + rows + "]", "''", "", "",
         "xl/worksheets/sheet1.xml に大きすぎる項目があります"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string book = Book("hostile.xlsx", c.sheet, c.shared, c.broken, c.how);
        const auto start = std::chrono::steady_clock::now();
        try {
            ReadListTable(book);
            ADD_FAILURE() << "read";
        } catch (const EListError& e) {
            EXPECT_NE(e.Message().find(c.refusal), std::string::npos) << e.Message();
            EXPECT_NE(e.Message().find("hostile.xlsx"), std::string::npos) << e.Message();
        }
        // Each took minutes to hours, or gigabytes, before it was bounded.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    EXPECT_LT(usage.ru_maxrss, 1L << 20) << "KB at most";
}

TEST(ListTable, DelimitedListsWithinLimits)
{
    const std::string wide(1000000, ',');
    const std::string headings = [] {
        std::string text;
        for (int c = 0; c < 16000; ++c)
            text += Format("列%d,", c);
        return text;
    }();
    const struct {
        const char* what;
        std::string bytes;
        const char* refusal;
    } cases[] = {
        {"a million columns without an address heading", "番号" + wide + "\n1" + wide + "\n",
         "1 行目: 列が多すぎます（16384 列まで）"},
        {"16,000 columns without an address heading, in 20 rows",
         headings + "\n" + [] {
             std::string rows;
             for (int r = 0; r < 20; ++r)
                 rows += std::string(15999, ',') + "x\n";
             return rows;
         }(),
         "メールアドレスの列が見つかりません"},
        {"16,000 columns, the address last", headings + "mail\n" + std::string(16000, ',') + "a@example.jp\n", ""},
        {"a field past the limit", "mail,text\na@example.jp," + std::string(kMaxCellBytes + 1, 'x') + "\n",
         "2 行目の B 列: 項目が長すぎます（131068 バイトまで）"},
        {"a quoted field past the limit", "mail,text\na@example.jp,\"" + std::string(kMaxCellBytes, 'x') + "\"\"\"\n",
         "2 行目の B 列: 項目が長すぎます"},
        {"a field at the limit", "mail,text\na@example.jp," + std::string(kMaxCellBytes, 'x') + "\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto start = std::chrono::steady_clock::now();
        try {
            const TListTable table = ReadDelimitedList(c.bytes, ',');
            const size_t address = FindListColumns(table, HasAt).Address;
            EXPECT_STREQ(c.refusal, "");
            EXPECT_EQ(table.Cell(0, address), "a@example.jp");
        } catch (const EListError& e) {
            EXPECT_STRNE(c.refusal, "") << e.Message();
            EXPECT_NE(e.Message().find(c.refusal), std::string::npos) << e.Message().substr(0, 200);
        }
        // Naming 16,000 columns once took their square.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    }
}

TEST(MergeFields, Templates)
{
    TListTable table({"メールアドレス", "氏名", "ｶｲｼｬﾒｲ", "敬称", "Code"});
    std::vector<std::string> row{"a@example.jp", "山田", "㈱山田", "御中", "7"};
    table.Append(2, row);
    TMergeFields fields(table.Header());
    fields.AddExtra("Code");
    TMergeFields noHonorific({"氏名"});
    const TMergeFields text = TMergeFields::ForTextList();
    const struct {
        const TMergeFields& fields;
        TMergeRow row;
        const char* tmpl;
        const char* merged;
    } cases[] = {
        {fields, TableRow(table, 0), "{{カイシャメイ}}\n{{ 氏名　}}{{敬称}}", "㈱山田\n山田御中"},
        {noHonorific, {[](size_t) { return "佐藤"; }, {}}, "{{氏名}}{{敬称}}", "佐藤様"},
        {text, EntryRow("b@example.jp", "鈴木"), "{{氏名}}{{敬称}} <{{メールアドレス}}>", "鈴木様 <b@example.jp>"},
        {fields, {TableRow(table, 0).Cell, {"https://example.jp/stop"}}, "{{Code}} {{氏名", "https://example.jp/stop {{氏名"},
        {fields, TableRow(table, 0), "{{a {{氏名}}}}} {{氏\n名}}", "{{a 山田}}} {{氏\n名}}"},
        {fields, TableRow(table, 0), "{{code}}", "{{code}}"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TMergeTemplate(c.tmpl, c.fields).Merge(c.row), c.merged) << c.tmpl;
}

TEST(MergeFields, RefusalsAndEmptyFields)
{
    TListTable table({"mail", "会社名", "部署", "部署"}, 1);
    const std::vector<std::vector<std::string>> rows{
        {"a@example.jp", "A社"}, {"b@example.jp", ""}, {"c@example.jp", "　"}, {"d@example.jp", "", "x"}};
    for (size_t r = 0; r < rows.size(); ++r) {
        std::vector<std::string> cells = rows[r];
        table.Append(static_cast<int>(r) + 3, cells);
    }
    const TMergeFields fields(table.Header());
    const TMergeTemplate subject("{{会社名}}{{部署}}", fields), body("{{ 会社名 }}{{担当}}{{}}{{担当}}", fields);
    EXPECT_EQ(FieldsRefusal({&subject, &body}, fields),
              "差し込み項目 {{担当}}、{{}} は宛先リストにありません。使える項目: mail、会社名、部署。"
              "差し込み項目 {{部署}} に当たる列が 2 つあります（C 列と D 列）。見出しを変えて区別してください。");
    const TMergeTemplate good("{{会社名}}", fields);
    EXPECT_EQ(FieldsRefusal({&good}, fields), "");

    const auto empty = FindEmptyFields({&subject, &body}, table, [](size_t row) { return row != 3; }, 1);
    ASSERT_EQ(empty.size(), 1u);
    EXPECT_EQ(empty[0].Name, "会社名");
    EXPECT_EQ(empty[0].Rows, 2u);
    EXPECT_EQ(empty[0].FirstRows, std::vector<int>{4});
    EXPECT_EQ(EmptyFieldsQuestion(empty), "2 行で {{会社名}} が空です。送信しますか？\n\n{{会社名}}: 4 行目ほか");
}

}  // namespace
