// The check of every row before anything connects, for a run and for the
// preview alike. A row whose own file cannot be attached, whose file lies
// outside the list's folder, whose address an earlier row has, or whose
// message cannot be composed is named with its row, so that one row never
// stops a run midway and a list cannot mail the user's files elsewhere.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/plan/RunPlan.h"

class TRunAttachments;

enum class TRowFault {
    FileMissing,   // a file of its own cannot be attached: 未送信, sent by a later run
    OutsideList,   // a file of its own lies outside the list's folder: sent only when allowed
    Duplicate,     // an earlier row has its address: 重複 when sent once per address
    Uncomposable,  // its message cannot be composed: 宛先不正
};

struct TRowVerdict {
    size_t Index = 0;  // in the entries checked
    int Line = 0;
    TRowFault Fault = TRowFault::FileMissing;
    // FileMissing, Uncomposable: the reason. OutsideList: "path → where it
    // leads". Duplicate: the address.
    std::string Detail;
    int Of = 0;  // Duplicate: the earlier row with the address
};

// Raises what composing the entry's message raises.
using TComposeCheck = std::function<void(const TPlanEntry& Entry)>;

// The verdicts over the entries Pending says are still to be sent, in entry
// order (a row may have several); nothing when KeepAnswering said stop.
// Files: the run's, null without any; AddressOf: an entry's bare address.
std::optional<std::vector<TRowVerdict>> CheckRows(const std::vector<TPlanEntry>& Entries,
                                                  const std::function<bool(size_t Index)>& Pending,
                                                  const TRunAttachments* Files,
                                                  const std::function<std::string(const TPlanEntry&)>& AddressOf,
                                                  const TComposeCheck& Compose,
                                                  const std::function<bool()>& KeepAnswering);

// The verdicts of Fault among Verdicts.
std::vector<const TRowVerdict*> VerdictsOf(const std::vector<TRowVerdict>& Verdicts, TRowFault Fault);

// The questions, naming every row concerned (the first hundred), ending in
// 「…送信しますか？」; empty when no verdict is of their kind.
std::string MissingFilesQuestion(const std::vector<TRowVerdict>& Verdicts);
std::string OutsideFilesQuestion(const std::vector<TRowVerdict>& Verdicts, const std::string& ListFolder);
// The lines of rows held back (files, composition) and of repeated
// addresses, for the confirmation and the preview.
std::string HeldText(const std::vector<TRowVerdict>& Verdicts);
std::string DuplicatesText(const std::vector<TRowVerdict>& Verdicts);
// The journal's reason beside a 重複 row.
std::string DuplicateReason(int Of);
