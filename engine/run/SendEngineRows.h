// The rows as both halves of TSendEngine (the Send and the checks before
// it) read them.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "engine/compose/MessageText.h"
#include "engine/list/RecipientSource.h"
#include "engine/plan/RunPlan.h"

// The charset of the row's whole composed message, decided without encoding.
TMailCharset RowCharset(const TRecipientSource* Source, const TCharsetRule& Rule, const std::string& FromName,
                        const TPlanEntry& Entry);
// A list's 添付ファイル (or 添付) column: paths apart at ";", each with the
// row's fields merged in, added to that row's files.
void AddRowFiles(const TRecipientSource& Source, std::map<int, std::vector<std::string>>& PerRow);
