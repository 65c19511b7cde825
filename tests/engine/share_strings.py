"""Rewrites a workbook saved by openpyxl (which writes every text as an
inline string, with its characters as numeric references) the way Excel
saves it: the texts in one shared string table, as UTF-8, each cell holding
its index.

    /usr/bin/python3 share_strings.py BOOK.xlsx
"""
import html
import re
import sys
import zipfile
from xml.sax.saxutils import escape

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
RELS = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
INLINE = re.compile(r'<c ([^>]*?) ?t="inlineStr"><is><t[^>]*>(.*?)</t></is></c>', re.S)


def share(path):
    with zipfile.ZipFile(path) as book:
        parts = {info.filename: book.read(info.filename).decode() for info in book.infolist()}
    strings, index = [], {}

    def shared(match):
        text = escape(html.unescape(match.group(2)))
        if text not in index:
            index[text] = len(strings)
            strings.append(text)
        return '<c %s t="s"><v>%d</v></c>' % (match.group(1), index[text])

    for name in [n for n in parts if n.startswith("xl/worksheets/sheet")]:
        parts[name] = INLINE.sub(shared, parts[name])
    parts["xl/sharedStrings.xml"] = '<sst xmlns="%s" count="%d" uniqueCount="%d">%s</sst>' % (
        MAIN, len(strings), len(strings), "".join('<si><t xml:space="preserve">%s</t></si>' % s for s in strings))
    parts["xl/_rels/workbook.xml.rels"] = parts["xl/_rels/workbook.xml.rels"].replace(
        "</Relationships>",
        '<Relationship Id="rIdShared" Type="%s/sharedStrings" Target="sharedStrings.xml"/></Relationships>' % RELS)
    parts["[Content_Types].xml"] = parts["[Content_Types].xml"].replace(
        "</Types>", '<Override PartName="/xl/sharedStrings.xml" ContentType="application/'
        'vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml"/></Types>')
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as book:
        for name, text in parts.items():
            book.writestr(name, text)


if __name__ == "__main__":
    share(sys.argv[1])
