#include "engine/list/XlsxPart.h"

#include <zip.h>

#include <QIODevice>

#include <algorithm>
#include <cstdio>

namespace {

// One tag or one text of a part. A cell holds at most 32,767 characters,
// written in at most ten bytes each ("&#1114111;"); Excel's longest
// formula is 8,192 characters. QXmlStreamReader keeps a whole text in
// memory at twice its length, so a text of gigabytes is stopped here.
constexpr qint64 kMaxItemBytes = qint64{1} << 20;
// Tokens of one part. Excel writes a tag or a text every ten bytes or so,
// a sheet at kMaxSheetPartBytes some 100 million; a part of empty tags
// would have its bytes' worth of tokens and take a minute to go through.
constexpr qint64 kMaxPartTokens = qint64{1} << 27;

}  // namespace

const char kSaveAgain[] =
    "Excel で開き、「名前を付けて保存」で「Excel ブック (*.xlsx)」か「CSV UTF-8 (コンマ区切り) (*.csv)」を選んで"
    "保存し直し、そのファイルを指定してください。";

EListError NotAWorkbook(const std::string& FileName, const std::string& Why)
{
    return EListError(FileName + " は Excel ブック (.xlsx) として読めません（" + Why + "）。" + kSaveAgain);
}

TZip::TZip(const std::string& FileName) : fileName_(FileName)
{
    int error = 0;
    zip_ = zip_open(FileName.c_str(), ZIP_RDONLY, &error);
    if (zip_ == nullptr) {
        // libzip tells some broken archives as missing or unreadable files:
        // the file itself decides.
        if (FILE* file = std::fopen(FileName.c_str(), "rb"))
            std::fclose(file);
        else
            throw EFOpenError(FileName);
        throw NotAWorkbook(FileName, error == ZIP_ER_NOZIP ? "ZIP 形式のファイルではありません" : "壊れています");
    }
}

TZip::~TZip() { zip_discard(zip_); }

bool TZip::Has(const std::string& Name) const { return zip_name_locate(zip_, Name.c_str(), 0) >= 0; }

// The part inflated as QXmlStreamReader pulls from it, within the part's
// limit and, since the last token began, within kMaxItemBytes.
class TZipDevice : public QIODevice {
public:
    enum class TStop : unsigned char { None, Broken, Part, Item };

    TZipDevice(zip_file_t* File, size_t Limit) : file_(File), left_(static_cast<qint64>(Limit))
    {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    ~TZipDevice() override
    {
        close();
        zip_fclose(file_);
    }

    void NewToken() { item_ = kMaxItemBytes; }
    TStop Stopped() const { return stop_; }
    bool isSequential() const override { return true; }
    // Once stopped the device is at its end, which ends the reader's loops.
    bool atEnd() const override { return end_; }

protected:
    qint64 readData(char* data, qint64 size) override
    {
        if (end_)
            return stop_ == TStop::None ? 0 : -1;
        if (left_ == 0 || item_ == 0)
            return Stop(left_ == 0 ? TStop::Part : TStop::Item);
        const zip_int64_t got = zip_fread(file_, data, static_cast<zip_uint64_t>(std::min({size, left_, item_})));
        if (got < 0)
            return Stop(TStop::Broken);
        end_ = got == 0;
        left_ -= got;
        item_ -= got;
        return got;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    qint64 Stop(TStop Why)
    {
        stop_ = Why;
        end_ = true;
        return -1;
    }

    zip_file_t* file_;
    qint64 left_;
    qint64 item_ = kMaxItemBytes;
    bool end_ = false;
    TStop stop_ = TStop::None;
};

TXmlPart::TXmlPart(const TZip& Zip, const std::string& Name, size_t Limit) : zip_(Zip), name_(Name), limit_(Limit)
{
    zip_file_t* file = zip_fopen(Zip.Handle(), Name.c_str(), 0);
    if (file == nullptr) {
        const int error = zip_error_code_zip(zip_get_error(Zip.Handle()));
        throw NotAWorkbook(Zip.FileName(), error == ZIP_ER_NOPASSWD || error == ZIP_ER_ENCRNOTSUPP
                                               ? "パスワードで保護されています"
                                               : "ブックの一部 " + Name + " が読めません");
    }
    // One byte past the limit tells a part that ends there from one that goes on.
    device_ = std::make_unique<TZipDevice>(file, Limit + 1);
    xml_.setDevice(device_.get());
}

TXmlPart::~TXmlPart() = default;

bool TXmlPart::Next()
{
    if (++tokens_ > kMaxPartTokens)
        throw NotAWorkbook(zip_.FileName(), Format("%s の項目が多すぎます（%lld 個まで）", name_.c_str(),
                                                   static_cast<long long>(kMaxPartTokens)));
    device_->NewToken();
    xml_.readNext();
    switch (device_->Stopped()) {
    case TZipDevice::TStop::Broken:
        Refuse(name_ + " が展開できません");
    case TZipDevice::TStop::Part:
        throw NotAWorkbook(zip_.FileName(),
                           Format("%s が大きすぎます（展開して %zu MB まで）", name_.c_str(), limit_ >> 20));
    case TZipDevice::TStop::Item:
        throw NotAWorkbook(zip_.FileName(), Format("%s に大きすぎる項目があります（1 つの項目は %lld KB まで）",
                                                   name_.c_str(), static_cast<long long>(kMaxItemBytes >> 10)));
    case TZipDevice::TStop::None:
        break;
    }
    if (xml_.hasError())
        Refuse(name_ + " の " + std::to_string(xml_.lineNumber()) + " 行目: " + xml_.errorString().toStdString());
    return xml_.tokenType() != QXmlStreamReader::EndDocument;
}

bool TXmlPart::NextStart()
{
    while (Next()) {
        if (xml_.isStartElement())
            return true;
        if (xml_.isEndElement())
            return false;
    }
    return false;
}

void TXmlPart::Skip()
{
    for (int depth = 1; depth > 0 && Next();)
        depth += xml_.isStartElement() ? 1 : xml_.isEndElement() ? -1 : 0;
}

QString TXmlPart::Text()
{
    QString text;
    while (Next() && !xml_.isEndElement()) {
        if (xml_.isStartElement())
            Refuse(name_ + " の " + std::to_string(xml_.lineNumber()) + " 行目: 文字の中に要素があります");
        if (xml_.isCharacters() || xml_.isEntityReference())
            text += xml_.text();
        if (static_cast<size_t>(text.size()) > kMaxCellBytes)
            RefuseLong();
    }
    return text;
}

void TXmlPart::Refuse(const std::string& Why) const { throw NotAWorkbook(zip_.FileName(), "壊れています: " + Why); }

void TXmlPart::RefuseLong() const
{
    throw NotAWorkbook(zip_.FileName(), Format("%s の %lld 行目: セルの内容が長すぎます（%zu 文字まで）", name_.c_str(),
                                               static_cast<long long>(xml_.lineNumber()), kMaxCellBytes));
}
