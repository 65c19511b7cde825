#include "engine/account/OAuth.h"

#include "engine/account/Passwords.h"
#include "rtl/SysUtils.h"

namespace {

// A token that would expire within this is refreshed first: a connection
// and its login must not outlive it.
constexpr int64_t kRefreshMarginMs = 5 * 60 * 1000;

}  // namespace

std::string TOAuthKeeper::AccessToken(const TOAuthAccount& Account, bool MaySignIn,
                                      const std::function<void(const std::string&)>& BeforeSignIn)
{
    const auto kept = access_.find(Account.Key());
    if (kept != access_.end() && kept->second.ExpiresAtMs - kRefreshMarginMs > TickCount())
        return kept->second.Access;
    std::string why = Account.ProviderName() + " にサインインしていません。";
    if (Passwords().Find(Account.Key())) {
        try {
            return Refresh(Account);
        } catch (const EOAuthError& e) {
            if (!e.SignInAgain() || !MaySignIn)
                throw;
            why = e.Message();
        }
    } else if (!MaySignIn) {
        throw EOAuthError(why + "設定画面の「サインイン」でサインインしてください。", true);
    }
    if (BeforeSignIn)
        BeforeSignIn(why);
    SignIn(Account);
    return access_[Account.Key()].Access;
}

void TOAuthKeeper::SignIn(const TOAuthAccount& Account)
{
    // A Send pressed while the Settings window's sign-in waits must not
    // start a second one under it.
    if (signIn_)
        throw EOAuthError("サインインの途中です。ブラウザでサインインを終えるか、中止してください。");
    TOAuthSignIn flow(Account);
    flow.OpenBrowser = OpenBrowser;
    flow.TimeoutMs = SignInTimeoutMs;
    signIn_ = &flow;
    try {
        const TOAuthTokens tokens = flow.Run();
        signIn_ = nullptr;
        if (tokens.Refresh.empty())
            throw EOAuthError("サインインの応答にリフレッシュトークンがありません（Microsoft では offline_access の権限が必要です）。");
        Keep(Account, tokens);
    } catch (...) {
        signIn_ = nullptr;
        throw;
    }
}

std::string TOAuthKeeper::Refresh(const TOAuthAccount& Account)
{
    access_.erase(Account.Key());
    const std::optional<std::string> refresh = Passwords().Find(Account.Key());
    if (!refresh)
        throw EOAuthError(Account.ProviderName() + " にもう一度サインインしてください。", true);
    try {
        TOAuthTokens tokens = RefreshTokens(Account, *refresh);
        Keep(Account, tokens);
        return tokens.Access;
    } catch (const EOAuthError& e) {
        if (e.SignInAgain())
            Forget(Account);
        throw;
    }
}

void TOAuthKeeper::Keep(const TOAuthAccount& Account, const TOAuthTokens& Tokens)
{
    TOAuthTokens& kept = access_[Account.Key()];
    kept.Access = Tokens.Access;
    kept.ExpiresAtMs = Tokens.ExpiresAtMs;
    // Providers that rotate refresh tokens send a new one with every refresh.
    if (!Tokens.Refresh.empty())
        Passwords().Save(Account.Key(), Tokens.Refresh, false);
}

void TOAuthKeeper::Forget(const TOAuthAccount& Account)
{
    access_.erase(Account.Key());
    Passwords().Refused(Account.Key());
}

bool TOAuthKeeper::SignedIn(const TOAuthAccount& Account)
{
    return access_.contains(Account.Key()) || Passwords().Find(Account.Key());
}

void TOAuthKeeper::AbortSignIn()
{
    if (signIn_)
        signIn_->Abort();
}

TOAuthKeeper& OAuthKeeper()
{
    static TOAuthKeeper keeper;
    return keeper;
}
