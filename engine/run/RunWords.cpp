#include "engine/run/RunWords.h"

#include "rtl/Exception.h"

namespace {

const char* const Reason = "（JIS X 0208 にない文字があるため）";

}  // namespace

std::string ConfirmText(const TRunOutline& Outline)
{
    std::string text = Format("%d 通のメッセージを %d 件のアドレスに送信します。", Outline.Messages, Outline.Addresses);
    if (Outline.Utf8 > 0)
        text += Format("\nうち %d 通は UTF-8 で送ります%s。", Outline.Utf8, Outline.Auto ? Reason : "");
    text += Format("\n送らない宛先: %d 件", Outline.Invalid + Outline.Settled + Outline.OptedOut + Outline.Held);
    if (Outline.Invalid > 0)
        text += "\n・" + Outline.InvalidText;
    if (Outline.OptedOut > 0)
        text += Format("\n・配信停止 %d 件（配信停止.txt にあるアドレス）", Outline.OptedOut);
    if (Outline.Settled > 0)
        text += Format("\n・前回の送信で済んだ %d 件", Outline.Settled);
    if (Outline.Held > 0)
        text += "\n" + Outline.HeldText;
    if (Outline.Duplicates > 0)
        text += Format("\n\n同じアドレスが複数の行にあります（%d 行）:\n", Outline.Duplicates) + Outline.DuplicatesText +
                "\n「同じアドレスには 1 通だけ」にすると、各アドレスの 2 つ目からの行には送りません（送信記録には 重複）。";
    if (!Outline.SentBefore.empty())
        text += "\n\n同じタイトルと本文を、この宛先ファイルへ " + StemDateText(Outline.SentBefore)
                + " に送信済みです。もう一度送ると、同じ人に二度届きます。";
    for (const std::string& warning : Outline.Warnings)
        text += "\n\n注意: " + warning;
    return text + "\n\n送信しますか？";
}

std::string StemDateText(const std::string& Stem)
{
    if (Stem.size() < 15 || Stem[8] != '-')
        return Stem;
    return Stem.substr(0, 4) + "/" + Stem.substr(4, 2) + "/" + Stem.substr(6, 2) + " " + Stem.substr(9, 2) + ":"
           + Stem.substr(11, 2) + ":" + Stem.substr(13, 2);
}

std::string WaitText(TWait What, int64_t RemainingMs)
{
    const long long seconds = RemainingMs <= 0 ? 0 : (RemainingMs + 999) / 1000;
    const char* what = What == TWait::Reconnect ? "サーバーとの接続が切れました。接続し直すまで"
                       : What == TWait::Retry   ? "一時エラーの宛先へ送り直すまで"
                                                : "送信間隔: 次のメッセージまで";
    return Format("%s あと %lld 秒（「中断する」で止められます）", what, seconds);
}

std::string Utf8Note(int Utf8, bool Auto)
{
    if (Utf8 == 0)
        return {};
    return Format("うち %d 通は UTF-8 で送りました%s。", Utf8, Auto ? Reason : "");
}
