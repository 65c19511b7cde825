#include "cli/Password.h"

#include <cerrno>
#include <termios.h>
#include <unistd.h>

namespace {

enum TRead { rdLine, rdEnd, rdInterrupted };

// Byte by byte: a larger read would take what follows the line from a
// descriptor the caller may go on using. A signal interrupts the read only
// where its handler was installed without SA_RESTART (the stop signals).
TRead ReadLine(int Fd, std::string& Line, bool StopOnSignal)
{
    for (;;) {
        char c;
        const ssize_t n = ::read(Fd, &c, 1);
        if (n < 0 && errno == EINTR) {
            if (StopOnSignal)
                return rdInterrupted;
            continue;
        }
        if (n < 0)
            throw EPasswordError(Format("パスワードをファイル記述子 %d から読めません", Fd));
        if (n == 0)
            return rdEnd;
        if (c == '\n')
            break;
        Line += c;
    }
    if (!Line.empty() && Line.back() == '\r')
        Line.pop_back();
    return rdLine;
}

}  // namespace

std::string ReadPasswordLine(int Fd)
{
    std::string line;
    if (ReadLine(Fd, line, false) == rdEnd && line.empty())
        throw EPasswordError(Format("ファイル記述子 %d からパスワードが来ませんでした（空です）", Fd));
    return line;
}

std::optional<std::string> AskPasswordOnTerminal(int Fd, const std::string& Prompt)
{
    termios before{};
    if (::tcgetattr(Fd, &before) != 0)
        throw EPasswordError("端末でパスワードを尋ねられません");
    termios quiet = before;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    quiet.c_lflag |= ECHONL;
    ::tcsetattr(Fd, TCSAFLUSH, &quiet);
    const struct Restore {
        int fd;
        const termios& was;
        ~Restore() { ::tcsetattr(fd, TCSAFLUSH, &was); }
    } restore{Fd, before};
    (void)!::write(Fd, Prompt.data(), Prompt.size());
    std::string line;
    if (ReadLine(Fd, line, true) == rdInterrupted) {
        (void)!::write(Fd, "\n", 1);
        return std::nullopt;
    }
    return line;
}
