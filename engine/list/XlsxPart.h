// The parts of an .xlsx workbook (a ZIP archive of XML files), read with
// libzip and QXmlStreamReader one token at a time, inflated as they are
// read. Whatever the archive says, the reading ends: a part that cannot be
// inflated, broken XML, a part or a single item past its limit all raise
// the workbook's error at once.
#pragma once

#include <QXmlStreamReader>

#include <memory>
#include <string>

#include "engine/list/ListTable.h"

struct zip;

// Excel's sheet of 1,048,576 ordinary rows stays below this; a part that
// inflates further is a bomb, and reading it would only take time.
constexpr size_t kMaxSheetPartBytes = size_t{1} << 30;
// The workbook, its relationships and its styles: Excel's styles with all
// of their 64,000 formats take some 20 MB.
constexpr size_t kMaxSmallPartBytes = size_t{64} << 20;

// Tells to save the file again as .xlsx or CSV.
extern const char kSaveAgain[];
EListError NotAWorkbook(const std::string& FileName, const std::string& Why);

// The archive, opened read-only; its parts are read one at a time.
class TZip {
public:
    // Raises EFOpenError when the file cannot be read, else NotAWorkbook.
    explicit TZip(const std::string& FileName);
    ~TZip();
    TZip(const TZip&) = delete;
    TZip& operator=(const TZip&) = delete;

    bool Has(const std::string& Name) const;
    struct zip* Handle() const { return zip_; }
    const std::string& FileName() const { return fileName_; }

private:
    std::string fileName_;
    struct zip* zip_ = nullptr;
};

class TZipDevice;

// One part as XML. Every call either moves on in the part or raises
// NotAWorkbook, so that no loop over a part can go on without end.
class TXmlPart {
public:
    // NotAWorkbook when the part cannot be opened (a password among others).
    TXmlPart(const TZip& Zip, const std::string& Name, size_t Limit);
    ~TXmlPart();

    const QXmlStreamReader& Xml() const { return xml_; }
    // The next token; false at the end of the document.
    bool Next();
    // The next start element inside the current one; false at its end.
    bool NextStart();
    // At a start element: on to its end.
    void Skip();
    // At a start element: its text, which may hold no element; Refused
    // with a cell's limit past kMaxCellBytes characters.
    QString Text();
    // NotAWorkbook: "壊れています: " and Why, for this part.
    [[noreturn]] void Refuse(const std::string& Why) const;
    // A cell text longer than kMaxCellBytes.
    [[noreturn]] void RefuseLong() const;

private:
    const TZip& zip_;
    std::string name_;
    size_t limit_;
    qint64 tokens_ = 0;
    std::unique_ptr<TZipDevice> device_;
    QXmlStreamReader xml_;
};
