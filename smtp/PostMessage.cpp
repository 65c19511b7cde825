#include "smtp/NMsmtp.h"

TPostMessage::TPostMessage()
    : ToAddress(std::make_unique<TStringList>()),
      ToCarbonCopy(std::make_unique<TStringList>()),
      ToBlindCarbonCopy(std::make_unique<TStringList>()),
      Body(std::make_unique<TStringList>()),
      Attachments(std::make_unique<TStringList>())
{
}

TPostMessage::~TPostMessage() = default;

void TPostMessage::SetLinesTo(const TStringList& Value) { ToAddress->Assign(Value); }
void TPostMessage::SetLinesCC(const TStringList& Value) { ToCarbonCopy->Assign(Value); }
void TPostMessage::SetLinesBCC(const TStringList& Value) { ToBlindCarbonCopy->Assign(Value); }
void TPostMessage::SetLinesBody(const TStringList& Value) { Body->Assign(Value); }
void TPostMessage::SetLinesAttachments(const TStringList& Value) { Attachments->Assign(Value); }
