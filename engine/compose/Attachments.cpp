#include "engine/compose/Attachments.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QMimeDatabase>

#include "charset/MailCharset.h"
#include "codec/NMUUE.h"
#include "rtl/Exception.h"
#include "rtl/RegularFile.h"
#include "rtl/Streams.h"
#include "rtl/SysUtils.h"

namespace {

constexpr size_t ReadChunk = size_t{1} << 20;
// 64 KiB of the file per read, in whole Base64 lines of 45 bytes.
constexpr int32_t LinesPerRead = 65520 / 45;

// How the user's texts name a file: with its row when the list gave it.
std::string Where(int Line, const std::string& Path)
{
    return Line > 0 ? Format("宛先 %d 行目の添付ファイル %s", Line, Path.c_str()) : "添付ファイル " + Path;
}

// Why the file cannot be attached (" がありません" and the like); empty
// when it is a regular file of a size that can be sent.
std::string FileProblem(const TRegularFile& File)
{
    if (File.Error() != 0)
        return File.Error() == ENOENT ? " がありません" : " を開けません";
    if (S_ISDIR(File.Mode()))
        return " はフォルダです。ファイルを選んでください";
    if (!File.Regular())
        return " は通常のファイルではありません";
    // The component's streams count in 32 bits.
    if (TNMUUProcessor::EncodedLength(File.Size(), uuMime) > INT32_MAX)
        return " は大きすぎて送れません";
    return {};
}

// Reads the whole file into Hash (and Own, its own hash): it exists, is a
// regular file and can be read to its end. Returns its size.
int64_t CheckAndHash(const std::string& Path, int Line, QCryptographicHash& Hash, QCryptographicHash& Own)
{
    TRegularFile file(Path);
    if (const std::string problem = FileProblem(file); !problem.empty())
        throw EStreamError(Where(Line, Path) + problem);
    std::string buffer(ReadChunk, '\0');
    int64_t size = 0;
    for (;;) {
        const ssize_t n = file.Read(buffer.data(), buffer.size());
        if (n < 0)
            throw EStreamError(Where(Line, Path) + " を読めません");
        if (n == 0)
            break;
        Hash.addData(QByteArrayView(buffer.data(), n));
        Own.addData(QByteArrayView(buffer.data(), n));
        size += n;
    }
    // A file of /proc says 0 and gives something else at every read: what
    // was checked would not be what is sent.
    if (size != file.Size())
        throw EStreamError(Where(Line, Path) + " は読むあいだに大きさが変わりました。中身の変わらないファイルを選んでください");
    return size;
}

// The file as checked, copied into To: a regular file still, of the size
// and SHA-256 it had then; otherwise EStreamError saying what changed, and
// the message does not go.
void CopyAsChecked(const std::string& Path, int64_t Size, const QByteArray& Sha256, TStream& To)
{
    TRegularFile file(Path);
    if (file.Error() != 0)
        throw EStreamError("添付ファイル " + Path + (file.Error() == ENOENT ? " が送信の途中でなくなりました" : " を送信の途中で開けません"));
    if (!file.Regular())
        throw EStreamError("添付ファイル " + Path + " は送信の途中で通常のファイルではなくなりました");
    QCryptographicHash own(QCryptographicHash::Sha256);
    std::string buffer(ReadChunk, '\0');
    int64_t size = 0;
    for (;;) {
        const ssize_t n = file.Read(buffer.data(), buffer.size());
        if (n < 0)
            throw EStreamError("添付ファイル " + Path + " を読めません");
        if (n == 0)
            break;
        own.addData(QByteArrayView(buffer.data(), n));
        To.WriteBuffer(buffer.data(), static_cast<int32_t>(n));
        size += n;
    }
    if (size != Size || own.result() != Sha256)
        throw EStreamError("添付ファイル " + Path +
                           " は送信前の確認の後で変わりました（大きさか中身が違います）。確認したものと違うファイルは送りません");
}

// A row's path as the run reads it: a relative one from the list's folder.
std::filesystem::path RowPath(const std::string& Written, int Line, const std::string& ListFolder)
{
    std::filesystem::path path(Written);
    if (Line > 0 && path.is_relative())
        path = std::filesystem::path(ListFolder) / path;
    return path;
}

// Where Path leads once ".." and symbolic links are resolved, when that is
// outside Folder; empty when it lies inside.
std::string OutsideOf(const std::filesystem::path& Folder, const std::filesystem::path& Path)
{
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path folder = fs::weakly_canonical(fs::absolute(Folder.empty() ? fs::path(".") : Folder), error);
    const fs::path resolved = fs::weakly_canonical(fs::absolute(Path), error);
    if (error)
        return Path.string();
    auto f = folder.begin();
    auto p = resolved.begin();
    for (; f != folder.end() && !f->empty(); ++f, ++p)
        if (p == resolved.end() || *p != *f)
            return resolved.string();
    return p == resolved.end() ? resolved.string() : std::string();
}

// A file of the temporary folder that nobody else sees and that goes with
// the stream, however the program ends.
std::shared_ptr<TStream> TemporaryStream()
{
    std::string path = (QDir::tempPath() + QStringLiteral("/veltrow-attachment-XXXXXX")).toStdString();
    const int fd = ::mkstemp(path.data());
    if (fd < 0)
        throw EFCreateError(path);
    ::close(fd);
    auto stream = std::make_shared<TFileStream>(path, fmCreate);
    ::unlink(path.c_str());
    return stream;
}

// The charset a text type's first bytes show, so that readers need not
// guess (a CP932 file shown as UTF-8 is garbage); none for other types.
std::string TextFileCharset(const std::string& MediaType, const std::string& Path)
{
    // Enough text to tell UTF-8 from CP932; the rest is read for the hash.
    constexpr std::streamsize SniffBytes = 64 * 1024;
    if (!MediaType.starts_with("text/"))
        return {};
    std::ifstream in(Path, std::ios::binary);
    std::string head(SniffBytes, '\0');
    in.read(head.data(), SniffBytes);
    head.resize(static_cast<size_t>(in.gcount()));
    return TextCharset(head);
}

}  // namespace

std::string MegabytesText(int64_t Bytes)
{
    // A small file would read 「0.0 MB」.
    if (Bytes < 1000 * 1000)
        return Format("%lld KB", static_cast<long long>((Bytes + 999) / 1000));
    return Format("%.1f MB", static_cast<double>(Bytes) / 1e6);
}

struct TRunAttachments::TFile {
    std::string Path;
    std::string Name;
    std::string MediaType;
    std::string Charset;
    std::string IsoNameWords;
    int64_t Size = 0;
    QByteArray Sha256;  // of the contents as checked
    int Rows = 0;  // rows of the list that name it
    bool Every = false;
    std::shared_ptr<const TEncodedAttachment> Encoded;
};

void TRunAttachments::SortRows(const std::map<int, std::vector<std::string>>& PerRow)
{
    // A row whose own file cannot be attached is set aside before anything
    // is read: the others go, and the digest is the same once its file is
    // there and the row is left out again.
    std::set<int> aside;
    for (const auto& [line, paths] : PerRow)
        for (const std::string& written : paths) {
            const std::string path = RowPath(written, line, listFolder_).lexically_normal().string();
            if (const std::string problem = FileProblem(TRegularFile(path)); !problem.empty()) {
                unreadable_.push_back({line, path, Where(0, path) + problem});
                aside.insert(line);
            } else if (std::string outside = OutsideOf(listFolder_, path); !outside.empty()) {
                outside_.push_back({line, path, std::move(outside)});
            }
        }
    for (const auto& [line, paths] : PerRow)
        if (!aside.contains(line))
            rowPaths_.emplace(line, paths);
}

TRunAttachments::TRunAttachments(const std::vector<std::string>& Every,
                                 const std::map<int, std::vector<std::string>>& PerRow, const std::string& ListFolder)
{
    everyPaths_ = Every;
    listFolder_ = ListFolder;
    SortRows(PerRow);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    const QMimeDatabase types;
    std::map<std::string, TFile*> byPath;
    auto add = [&](const std::string& Written, int Line) -> TFile* {
        const std::filesystem::path path = RowPath(Written, Line, ListFolder);
        const std::string key = path.lexically_normal().string();
        TFile*& file = byPath[key];
        if (!file) {
            files_.push_back(std::make_unique<TFile>());
            file = files_.back().get();
            file->Path = key;
            file->Name = path.filename().string();
            QCryptographicHash own(QCryptographicHash::Sha256);
            file->Size = CheckAndHash(key, Line, hash, own);
            file->Sha256 = own.result();
            // The content decides where the name says nothing or says otherwise.
            file->MediaType = types.mimeTypeForFile(QString::fromStdString(key)).name().toStdString();
            file->Charset = TextFileCharset(file->MediaType, key);
            file->IsoNameWords = IsoParameterWords(file->Name);
        } else {
            // The digest covers what each row carries, not only each file once.
            hash.addData(QByteArrayView(key.data(), static_cast<qsizetype>(key.size())));
        }
        const std::string place = Format("%d\n%s\n", Line, file->Name.c_str());
        hash.addData(QByteArrayView(place.data(), static_cast<qsizetype>(place.size())));
        return file;
    };
    for (const std::string& path : Every) {
        TFile* file = add(path, 0);
        if (std::find(every_.begin(), every_.end(), file) == every_.end())
            every_.push_back(file);
        file->Every = true;
    }
    for (const auto& [line, paths] : rowPaths_) {
        std::vector<TFile*>& own = perRow_[line];
        for (const std::string& path : paths) {
            TFile* file = add(path, line);
            if (std::find(own.begin(), own.end(), file) == own.end()) {
                own.push_back(file);
                ++file->Rows;
            }
        }
    }
    if (!files_.empty())
        digest_ = hash.result().toHex().toStdString();
}

TRunAttachments::~TRunAttachments() = default;

std::string TRunAttachments::DigestWithout(const std::set<int>& Lines) const
{
    std::map<int, std::vector<std::string>> rows = rowPaths_;
    for (int line : Lines)
        rows.erase(line);
    return TRunAttachments(everyPaths_, rows, listFolder_).Digest();
}

std::vector<TRunAttachments::TFile*> TRunAttachments::FilesOf(int Line) const
{
    std::vector<TFile*> files = every_;
    if (const auto own = perRow_.find(Line); own != perRow_.end())
        for (TFile* file : own->second)
            if (std::find(files.begin(), files.end(), file) == files.end())
                files.push_back(file);
    return files;
}

std::shared_ptr<const TEncodedAttachment> TRunAttachments::Encoded(TFile& File)
{
    if (File.Encoded)
        return File.Encoded;
    std::shared_ptr<TStream> text = TemporaryStream();
    // Sent is what was checked: a file replaced (a FIFO would never end) or
    // changed since is refused here, before a byte of it goes out.
    const std::shared_ptr<TStream> source = TemporaryStream();
    CopyAsChecked(File.Path, File.Size, File.Sha256, *source);
    source->SetPosition(0);
    TNMUUProcessor encoder(nullptr);
    encoder.Method = uuMime;
    encoder.LinesPerRead = LinesPerRead;
    encoder.SourceStream = source.get();
    encoder.TargetStream = text.get();
    encoder.Encode();
    auto part = std::make_shared<TEncodedAttachment>();
    part->FileName = File.Name;
    part->MediaType = File.MediaType;
    part->Charset = File.Charset;
    part->IsoNameWords = File.IsoNameWords;
    part->EncodedSize = text->Size();
    part->Text = std::move(text);
    File.Encoded = part;
    return part;
}

TParts TRunAttachments::Parts(int Line)
{
    const std::vector<TFile*> files = FilesOf(Line);
    // A message in hand still holds its parts; only the store lets go here.
    for (TFile* file : std::exchange(rowOwn_, {}))
        if (std::find(files.begin(), files.end(), file) == files.end())
            file->Encoded.reset();
    TParts parts;
    for (TFile* file : files) {
        parts.push_back(Encoded(*file));
        if (!file->Every && file->Rows == 1)
            rowOwn_.push_back(file);
    }
    return parts;
}

TParts TRunAttachments::Sized(int Line) const
{
    TParts parts;
    for (const TFile* file : FilesOf(Line)) {
        auto part = std::make_shared<TEncodedAttachment>();
        part->FileName = file->Name;
        part->MediaType = file->MediaType;
        part->Charset = file->Charset;
        part->IsoNameWords = file->IsoNameWords;
        part->EncodedSize = TNMUUProcessor::EncodedLength(file->Size, uuMime);
        parts.push_back(std::move(part));
    }
    return parts;
}

int TRunAttachments::Heaviest(const std::vector<int>& Lines) const
{
    int heaviest = Lines.empty() ? 0 : Lines.front();
    int64_t most = -1;
    for (int line : Lines) {
        if (!perRow_.contains(line))
            continue;
        int64_t bytes = 0;
        for (const TFile* file : FilesOf(line))
            bytes += file->Size;
        if (bytes > most) {
            most = bytes;
            heaviest = line;
        }
    }
    return heaviest;
}
