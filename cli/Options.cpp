#include "cli/Options.h"

#include <cctype>
#include <climits>
#include <functional>
#include <set>

#include "charset/CodePage.h"
#include "rtl/Version.h"

namespace {

// QCommandLineParser only has English refusals and cannot name the option
// of a missing value; the few options here are parsed by hand instead.
struct TOptionRule {
    const char* Name;
    const char* Value;  // what the value is, for the refusal; nullptr: a flag
    std::function<void(TSendOptions&, const std::string&)> Set;
};

[[noreturn]] void Refuse(const std::string& Why)
{
    throw EUsageError(Why + "\n使い方は veltrow-send --help で表示します。");
}

int ParseFd(const std::string& Text)
{
    if (Text.empty() || Text.size() > 9 || Text.find_first_not_of("0123456789") != std::string::npos)
        Refuse("--password-fd にはファイル記述子の番号（0 以上の整数）を指定してください: " + Text);
    return std::stoi(Text);
}

const std::vector<TOptionRule>& Rules()
{
    static const std::vector<TOptionRule> rules{
        {"--to", "宛先ファイル", [](TSendOptions& o, const std::string& v) { o.To = v; }},
        {"--subject", "タイトル",
         [](TSendOptions& o, const std::string& v) {
             if (!IsValidUtf8(v))
                 Refuse("--subject のタイトルが UTF-8 ではありません");
             // A line end would start a header line of its own. A TAB is a
             // blank, as the window's one-line field makes it.
             o.Subject = v;
             for (char& c : o.Subject)
                 if (c == '\t')
                     c = ' ';
                 else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
                     Refuse("--subject のタイトルに改行や制御文字は使えません");
         }},
        {"--body", "本文のファイル", [](TSendOptions& o, const std::string& v) { o.Body = v; }},
        {"--profile", "フォルダー", [](TSendOptions& o, const std::string& v) { o.Profile = v; }},
        {"--resume", nullptr, [](TSendOptions& o, const std::string&) { o.Resume = rmResume; }},
        {"--restart", nullptr, [](TSendOptions& o, const std::string&) { o.Resume = rmRestart; }},
        {"--trust", "証明書の SHA-256 フィンガープリント",
         [](TSendOptions& o, const std::string& v) {
             o.Trust = NormalizeFingerprint(v);
             if (o.Trust.empty())
                 Refuse("--trust には証明書の SHA-256 フィンガープリント（16 進数 64 桁、コロン区切りも可）を指定してください: " + v);
         }},
        {"--dry-run", nullptr, [](TSendOptions& o, const std::string&) { o.DryRun = true; }},
        {"--strict-domain", nullptr, [](TSendOptions& o, const std::string&) { o.StrictDomain = true; }},
        {"--opt-out", "メールアドレス", [](TSendOptions& o, const std::string& v) { o.OptOut = v; }},
        {"--attach", "添付するファイル", [](TSendOptions& o, const std::string& v) { o.Attach.push_back(v); }},
        {"--allow-empty", nullptr, [](TSendOptions& o, const std::string&) { o.AllowEmpty = true; }},
        {"--skip-missing-files", nullptr, [](TSendOptions& o, const std::string&) { o.SkipMissingFiles = true; }},
        {"--allow-files-outside-list", nullptr,
         [](TSendOptions& o, const std::string&) { o.AllowFilesOutsideList = true; }},
        {"--unique", nullptr, [](TSendOptions& o, const std::string&) { o.Unique = true; }},
        {"--test-to", "テスト送信の宛先アドレス", [](TSendOptions& o, const std::string& v) { o.TestTo = v; }},
        {"--row", "行番号",
         [](TSendOptions& o, const std::string& v) {
             if (v.empty() || v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos ||
                 std::stoi(v) < 1)
                 Refuse("--row には宛先リストの行番号（1 以上の整数）を指定してください: " + v);
             o.Row = std::stoi(v);
         }},
        {"--password-fd", "ファイル記述子の番号",
         [](TSendOptions& o, const std::string& v) { o.PasswordFd = ParseFd(v); }},
        {"--sign-in", nullptr, [](TSendOptions& o, const std::string&) { o.SignIn = true; }},
        {"--help", nullptr, [](TSendOptions& o, const std::string&) { o.Help = true; }},
        {"--version", nullptr, [](TSendOptions& o, const std::string&) { o.Version = true; }},
    };
    return rules;
}

const TOptionRule* Find(const std::string& Name)
{
    const std::string name = Name == "-h" ? "--help" : Name;
    for (const TOptionRule& s : Rules())
        if (name == s.Name)
            return &s;
    return nullptr;
}

}  // namespace

std::string NormalizeFingerprint(const std::string& Text)
{
    std::string hex;
    for (size_t i = 0; i < Text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(Text[i]);
        // A colon only between two pairs.
        if (c == ':' && hex.size() % 2 == 0 && !hex.empty() && i + 1 < Text.size() && Text[i + 1] != ':')
            continue;
        if (!std::isxdigit(c))
            return {};
        hex += static_cast<char>(std::toupper(c));
    }
    if (hex.size() != 64)
        return {};
    std::string pairs;
    for (size_t i = 0; i < hex.size(); i += 2) {
        if (i > 0)
            pairs += ':';
        pairs.append(hex, i, 2);
    }
    return pairs;
}

TSendOptions ParseSendOptions(const std::vector<std::string>& Args)
{
    TSendOptions options;
    std::set<std::string> seen;
    for (size_t i = 0; i < Args.size(); ++i) {
        const std::string& arg = Args[i];
        const size_t eq = arg.starts_with("--") ? arg.find('=') : std::string::npos;
        const std::string name = arg.substr(0, eq);
        const TOptionRule* rule = Find(name);
        if (!rule) {
            if (!arg.starts_with("-"))
                Refuse("オプションではない引数があります: " + arg);
            Refuse("知らないオプションです: " + name);
        }
        if (!seen.insert(rule->Name).second && name != "--attach")
            Refuse(std::string(rule->Name) + " が 2 回指定されています");
        std::string value;
        if (!rule->Value) {
            if (eq != std::string::npos)
                Refuse(std::string(rule->Name) + " は値をとりません");
        } else if (eq != std::string::npos) {
            value = arg.substr(eq + 1);
        } else if (i + 1 < Args.size()) {
            value = Args[++i];
        } else {
            Refuse(std::string(rule->Name) + " のあとに" + rule->Value + "を指定してください");
        }
        rule->Set(options, value);
    }
    if (options.Help || options.Version)
        return options;
    if (seen.contains("--resume") && seen.contains("--restart"))
        Refuse("--resume と --restart は一緒に指定できません");
    for (const char* alone : {"--sign-in", "--opt-out"}) {
        if (!seen.contains(alone))
            continue;
        for (const std::string& name : seen)
            if (name != alone && name != "--profile")
                Refuse(std::string(alone) + " と一緒に指定できるのは --profile だけです: " + name);
        return options;
    }
    std::string missing;
    for (const char* name : {"--to", "--subject", "--body"})
        if (!seen.contains(name))
            missing += (missing.empty() ? "" : "、") + std::string(name);
    if (!missing.empty())
        Refuse(missing + " を指定してください");
    if (seen.contains("--row") && !options.DryRun && !seen.contains("--test-to"))
        Refuse("--row は --dry-run か --test-to と一緒に指定してください");
    if (options.DryRun && seen.contains("--test-to"))
        Refuse("--dry-run と --test-to は一緒に指定できません");
    if (options.To.empty() || options.Body.empty())
        Refuse(std::string(options.To.empty() ? "--to" : "--body") + " のファイル名が空です");
    return options;
}

std::string HelpText()
{
    return "使い方: veltrow-send --to 宛先ファイル --subject タイトル --body 本文ファイル [オプション]\n"
           "       veltrow-send --sign-in [--profile フォルダー]\n"
           "       veltrow-send --opt-out メールアドレス [--profile フォルダー]\n"
           "\n"
           "宛先ファイルの宛先それぞれへ、タイトルと本文のメールを 1 通ずつ送ります。\n"
           "タイトルと本文の {{列名}} は、その行の値に置き換えます。\n"
           "設定（設定.txt）、信頼する証明書、送信記録はウィンドウ版の Veltrow と共通です。\n"
           "\n"
           "  --to ファイル          宛先ファイル（1 行に 1 件。UTF-8 または Shift_JIS）、\n"
           "                         または表の宛先リスト（.csv、.tsv、.xlsx）\n"
           "  --subject タイトル     メールのタイトル\n"
           "  --body ファイル        本文のファイル（UTF-8 または Shift_JIS）\n"
           "  --profile フォルダー   設定.txt のあるフォルダー（省略時は、今のフォルダーに 設定.txt が\n"
           "                         あればそこ、なければ ~/Veltrow）\n"
           "  --resume               止まった前回の送信を続きから送ります（止まった送信が\n"
           "                         なければ何も送らずに終わります）\n"
           "  --restart              止まった前回の送信を捨てて最初から送ります\n"
           "  --trust SHA256         このサーバーのこの証明書（SHA-256 フィンガープリント）を信頼します\n"
           "  --dry-run              読み込みと確認と組み立てだけを行い、どこにも接続しません\n"
           "  --attach ファイル      すべてのメッセージに添付するファイル（何度でも指定できます）\n"
           "  --allow-empty          差し込み項目が空の行があっても送ります\n"
           "  --skip-missing-files   添付ファイルがない行を除いて送ります（その行は未送信のまま残り、\n"
           "                         ファイルを置いてから --resume で送れます）\n"
           "  --allow-files-outside-list\n"
           "                         宛先リストのフォルダの外にある行ごとの添付ファイルも送ります\n"
           "  --unique               同じアドレスには 1 通だけ送ります（2 つ目からの行は送信記録に 重複）\n"
           "  --test-to アドレス     1 行分のメッセージをタイトルに「[テスト] 」を付けてこのアドレスへ\n"
           "                         送ります（送信記録には残りません）\n"
           "  --row 行番号           --dry-run で表示する行、--test-to で送る行（省略時は最初の行）\n"
           "  --password-fd 番号     パスワードをこのファイル記述子から 1 行読みます\n"
           "  --sign-in              ブラウザで Microsoft 365 / Google にサインインし、送信はしません\n"
           "  --opt-out アドレス     このアドレスを配信停止.txt に加えます（以後送りません）。送信はしません\n"
           "  --strict-domain        送信者のドメインに SPF か DMARC がないとき、警告だけで続けずに止めます\n"
           "  --help                 この説明を表示します\n"
           "  --version              バージョンを表示します\n"
           "\n"
           "パスワードは、システムのパスワード保管庫にあればそれを使い、なければ --password-fd\n"
           "から、それもなければ端末で（表示せずに）尋ねます。引数や環境変数では渡せません。\n"
           "\n"
           "終了コード:\n"
           "  0  すべての宛先が送信済み（配信停止.txt にある宛先は除く）\n"
           "  1  送信は終わったが、送信済み以外の結果がある（送信記録を見てください）\n"
           "  2  送信を始められなかった（オプション、設定、ファイル、接続、TLS、ログイン、\n"
           "     止まった前回の送信があるのに --resume も --restart もない）\n"
           "  3  SIGINT / SIGTERM で中断した（送信記録は完全で、--resume で続きから送れます）\n";
}

std::string VersionText()
{
    return std::string("veltrow-send (Veltrow) ") + VeltrowVersion + "\n";
}
