// Helpers of the text-conversion tests: an independent Base64, ISO-2022-JP
// characters, and Debian's Python with a decoder as Japanese readers use.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "charset/CodePage.h"

namespace charsettest {

inline const std::string kJ = "\x1b$B";  // to JIS X 0208
inline const std::string kA = "\x1b(B";  // to ASCII

inline std::string Hex(const std::string& bytes)
{
    std::string out;
    for (unsigned char c : bytes)
        out += Format("%02x", c);
    return out;
}

// Plain Base64, written here independently of the codec under test.
inline std::string Base64(const std::string& in)
{
    static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        const unsigned v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8) | uint8_t(in[i + 2]);
        for (int s = 18; s >= 0; s -= 6)
            out += abc[(v >> s) & 63];
    }
    if (i < in.size()) {
        const bool two = i + 1 < in.size();
        const unsigned v = (uint8_t(in[i]) << 16) | (two ? uint8_t(in[i + 1]) << 8 : 0);
        out += abc[v >> 18];
        out += abc[(v >> 12) & 63];
        out += two ? abc[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

inline std::string UnBase64(const std::string& in)
{
    std::string out;
    unsigned v = 0;
    int bits = 0;
    for (char c : in) {
        const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        const char* p = c ? std::strchr(abc, c) : nullptr;
        if (!p)
            break;
        v = (v << 6) | unsigned(p - abc);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += char((v >> bits) & 0xFF);
        }
    }
    return out;
}

// The characters of an ISO-2022-JP text, each tagged with its set, so that
// texts can be compared regardless of where the escapes fall.
inline std::vector<std::string> JisChars(const std::string& jis)
{
    std::vector<std::string> chars;
    bool twoByte = false;
    for (size_t i = 0; i < jis.size();) {
        if (jis.compare(i, 3, kJ) == 0 || jis.compare(i, 3, kA) == 0) {
            twoByte = jis.compare(i, 3, kJ) == 0;
            i += 3;
        } else if (twoByte) {
            chars.push_back("J" + jis.substr(i, 2));
            i += 2;
        } else {
            chars.push_back("A" + jis.substr(i, 1));
            i += 1;
        }
    }
    return chars;
}

inline std::string Repeat(const std::string& s, int n)
{
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

inline std::string ErrorOf(const std::function<void()>& f)
{
    try {
        f();
    } catch (const ECodePageError& e) {
        return e.Message();
    }
    return "(no error)";
}

// Runs Debian's Python on a script with one data file; returns its exit
// status and everything it printed.
struct PythonRun {
    int status;
    std::string output;
};

inline std::string TempFile(const std::string& content)
{
    std::string name = (std::filesystem::temp_directory_path() / "veltrow-codepage-XXXXXX").string();
    const int fd = mkstemp(name.data());
    EXPECT_GE(fd, 0);
    close(fd);
    std::ofstream(name, std::ios::binary) << content;
    return name;
}

inline PythonRun RunPython(const std::string& script, const std::string& data)
{
    const std::string scriptFile = TempFile(script);
    const std::string dataFile = TempFile(data);
    const std::string command = std::string(VELTROW_PYTHON) + " " + scriptFile + " " + dataFile + " 2>&1";
    PythonRun run{-1, {}};
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            run.output.append(buf, n);
        run.status = pclose(p);
    }
    std::filesystem::remove(scriptFile);
    std::filesystem::remove(dataFile);
    return run;
}

// The checking frame of the Python readers: check() collects failures,
// finish() reports them and sets the exit status.
inline const char* kPythonJisReader = R"(
import sys
fails = []
def check(ok, what):
    if not ok:
        fails.append(what)
def finish(count):
    for f in fails[:20]:
        print('FAIL', f)
    print('checked', count, 'failed', len(fails))
    sys.exit(1 if fails else 0)
)";

}  // namespace charsettest
