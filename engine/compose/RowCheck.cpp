#include "engine/compose/RowCheck.h"

#include <chrono>
#include <map>
#include <set>

#include "engine/compose/Attachments.h"
#include "engine/compose/Compliance.h"
#include "engine/compose/MessageText.h"
#include "engine/compose/Preview.h"
#include "engine/list/RecipientSource.h"
#include "engine/list/Recipients.h"
#include "engine/compose/Unsubscribe.h"
#include "rtl/SysUtils.h"

namespace {

// A box lists this many rows; the journal has the rest.
constexpr size_t Listed = 100;
constexpr auto AnswerEvery = std::chrono::milliseconds(50);

// One line per verdict of Fault, "N 行目: Detail", the first Listed of them.
std::string Lines(const std::vector<TRowVerdict>& Verdicts, TRowFault Fault,
                  const std::function<std::string(const TRowVerdict&)>& Text)
{
    std::string lines;
    const std::vector<const TRowVerdict*> of = VerdictsOf(Verdicts, Fault);
    for (size_t i = 0; i < of.size() && i < Listed; ++i)
        lines += Format("\n%d 行目: ", of[i]->Line) + Text(*of[i]);
    if (of.size() > Listed)
        lines += Format("\nほか %zu 件（送信記録に残ります）", of.size() - Listed);
    return lines;
}

std::string DetailOf(const TRowVerdict& V) { return V.Detail; }

// Why the row's message cannot be composed, blaming the row, not the settings.
std::string ComposeReason(const Exception& E)
{
    if (dynamic_cast<const EUnsubscribeError*>(&E))
        return "この行の値を差し込んだ配信停止の URL が長すぎて、メールのヘッダーに書けません（1 行 998 バイトまで）";
    return "メッセージを組み立てられません: " + E.Message();
}

}  // namespace

std::optional<std::vector<TRowVerdict>> CheckRows(const std::vector<TPlanEntry>& Entries,
                                                  const std::function<bool(size_t Index)>& Pending,
                                                  const TRunAttachments* Files,
                                                  const std::function<std::string(const TPlanEntry&)>& AddressOf,
                                                  const TComposeCheck& Compose,
                                                  const std::function<bool()>& KeepAnswering)
{
    std::multimap<int, const TRunAttachments::TRowFile*> unreadable, outside;
    if (Files) {
        for (const TRunAttachments::TRowFile& f : Files->Unreadable())
            unreadable.emplace(f.Line, &f);
        for (const TRunAttachments::TRowFile& f : Files->Outside())
            outside.emplace(f.Line, &f);
    }
    std::vector<TRowVerdict> verdicts;
    auto looked = std::chrono::steady_clock::now();
    for (size_t i = 0; i < Entries.size(); ++i) {
        const TPlanEntry& e = Entries[i];
        if (!Goes(e) || !Pending(i))
            continue;
        if (KeepAnswering && std::chrono::steady_clock::now() - looked > AnswerEvery) {
            if (!KeepAnswering())
                return std::nullopt;
            looked = std::chrono::steady_clock::now();
        }
        if (const auto [from, to] = unreadable.equal_range(e.Line); from != to) {
            // Every file of the row that cannot be attached, in one reason.
            std::string reason;
            for (auto f = from; f != to; ++f)
                reason += (reason.empty() ? "" : "、") + f->second->Reason;
            verdicts.push_back({i, e.Line, TRowFault::FileMissing, std::move(reason)});
            continue;
        }
        for (auto [f, to] = outside.equal_range(e.Line); f != to; ++f)
            verdicts.push_back({i, e.Line, TRowFault::OutsideList, f->second->Path + " → " + f->second->Reason});
        if (e.DuplicateOf > 0)
            verdicts.push_back({i, e.Line, TRowFault::Duplicate, AddressOf(e), e.DuplicateOf});
        try {
            if (Compose)
                Compose(e);
        } catch (const Exception& error) {
            verdicts.push_back({i, e.Line, TRowFault::Uncomposable, ComposeReason(error)});
        }
    }
    return verdicts;
}

std::vector<const TRowVerdict*> VerdictsOf(const std::vector<TRowVerdict>& Verdicts, TRowFault Fault)
{
    std::vector<const TRowVerdict*> of;
    for (const TRowVerdict& v : Verdicts)
        if (v.Fault == Fault)
            of.push_back(&v);
    return of;
}

std::string MissingFilesQuestion(const std::vector<TRowVerdict>& Verdicts)
{
    if (VerdictsOf(Verdicts, TRowFault::FileMissing).empty())
        return {};
    return "次の行は添付ファイルを添付できないため送信できません:" + Lines(Verdicts, TRowFault::FileMissing, DetailOf) +
           "\n\nこれらの行は送信記録に「未送信」として残り、ファイルを置いてから「続きから」で送れます。"
           "これらの行を除いて送信しますか？";
}

std::string OutsideFilesQuestion(const std::vector<TRowVerdict>& Verdicts, const std::string& ListFolder)
{
    if (VerdictsOf(Verdicts, TRowFault::OutsideList).empty())
        return {};
    return "次の行の添付ファイルは、宛先リストのフォルダ " + ListFolder + " の外にあります:" +
           Lines(Verdicts, TRowFault::OutsideList, DetailOf) +
           "\n\n他の人から受け取ったリストなら、このコンピューターのファイルを知らない宛先へ送ることになります。"
           "これらのファイルを添付して送信しますか？";
}

std::string HeldText(const std::vector<TRowVerdict>& Verdicts)
{
    std::string text;
    if (const size_t n = VerdictsOf(Verdicts, TRowFault::FileMissing).size())
        text += Format("・添付ファイルがなく未送信のまま残す行 %zu 件（ファイルを置いてから「続きから」で送れます）:", n) +
                Lines(Verdicts, TRowFault::FileMissing, DetailOf);
    if (const size_t n = VerdictsOf(Verdicts, TRowFault::Uncomposable).size())
        text += std::string(text.empty() ? "" : "\n") +
                Format("・メッセージを組み立てられない行 %zu 件（宛先不正）:", n) +
                Lines(Verdicts, TRowFault::Uncomposable, DetailOf);
    return text;
}

std::string DuplicatesText(const std::vector<TRowVerdict>& Verdicts)
{
    // Each address once, with its first row and every later one.
    std::map<int, std::string> rows;
    std::vector<int> order;
    for (const TRowVerdict* v : VerdictsOf(Verdicts, TRowFault::Duplicate)) {
        auto [at, added] = rows.emplace(v->Of, v->Detail + ": " + std::to_string(v->Of));
        if (added)
            order.push_back(v->Of);
        at->second += "、" + std::to_string(v->Line);
    }
    std::string text;
    for (size_t i = 0; i < order.size() && i < Listed; ++i)
        text += (text.empty() ? "" : "\n") + rows[order[i]] + " 行目";
    if (order.size() > Listed)
        text += Format("\nほか %zu 件のアドレス", order.size() - Listed);
    return text;
}

std::string DuplicateReason(int Of) { return Format("%d 行目と同じアドレスです", Of); }
