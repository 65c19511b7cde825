#include "engine/journal/SideFile.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/journal/JournalEscape.h"
#include "rtl/Exception.h"

namespace journal_detail {

int OpenJournalFile(const std::string& path, int flags)
{
    const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

std::optional<std::string> ReadAll(const std::string& path)
{
    const int fd = OpenJournalFile(path, O_RDONLY);
    if (fd < 0)
        return std::nullopt;
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ::close(fd);
            return n == 0 ? std::optional(std::move(bytes)) : std::nullopt;
        }
        bytes.append(buffer, static_cast<size_t>(n));
    }
}

void SyncFolder(const std::string& folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

void WriteAll(int fd, const std::string& bytes, const std::string& path)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw EStreamError(Format("送信記録 %s に書き込めません", path.c_str()));
        done += static_cast<size_t>(n);
    }
}

void WriteFully(int fd, const std::string& bytes, const std::string& path)
{
    WriteAll(fd, bytes, path);
    if (::fsync(fd) != 0)
        throw EStreamError(Format("送信記録 %s に書き込めません", path.c_str()));
}

std::optional<SideFile> ReadSide(const std::string& path)
{
    const std::optional<std::string> text = ReadAll(path);
    if (!text)
        throw EBadSideFile();
    if (text->find('\n') == std::string::npos && std::string_view(SideMagic).starts_with(*text))
        return std::nullopt;
    // Views of the text, not copies: the recipients record holds the whole list.
    const std::string_view all(*text);
    size_t end = all.find('\n');
    if (end == std::string_view::npos || all.substr(0, end) != SideMagic)
        throw EBadSideFile();
    SideFile side;
    // A record without its line end is a torn write.
    for (size_t at = end + 1; (end = all.find('\n', at)) != std::string_view::npos; at = end + 1) {
        const std::string_view line = all.substr(at, end - at);
        const size_t space = line.find(' ');
        const std::string_view key = line.substr(0, space);
        const std::string value = space == std::string::npos ? std::string() : Unescape(line.substr(space + 1));
        if (key == "file")
            side.identity.RecipientFile = value;
        else if (key == "recipients")
            side.identity.Recipients = value;
        else if (key == "subject")
            side.identity.Subject = value;
        else if (key == "body")
            side.identity.Body = value;
        else if (key == "attachments")
            side.identity.Attachments = value;
        else if (key == "resumes")
            side.resumes = value;
        else if (key == "carried") {
            const size_t sep = value.find(' ');
            if (const auto o = OutcomeFromWord(value.substr(sep + 1)); o && sep != std::string::npos)
                side.carried[std::atoi(value.c_str())] = *o;
        } else if (key == "sending")
            side.pending.insert(std::atoi(value.c_str()));
        else if (key == "held")
            side.held.insert(std::atoi(value.c_str()));
        else if (key == "undelivered")
            side.pending.erase(std::atoi(value.c_str()));
        else if (key == "finished" || key == "abandoned" || key == "continued")
            side.closed = true;
        side.finished = side.finished || key == "finished";
    }
    return side;
}

void AppendRecord(const std::string& path, const std::string& record)
{
    const int fd = OpenJournalFile(path, O_WRONLY | O_APPEND);
    if (fd < 0)
        throw EStreamError(Format("送信記録 %s に書き込めません", path.c_str()));
    try {
        WriteFully(fd, record, path);
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
}

}  // namespace journal_detail
