#include "engine/account/OAuth.h"

#include <cstdlib>
#include <memory>
#include <utility>

#include <QCryptographicHash>
#include <QEventLoop>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>

#include "engine/account/Passwords.h"
#include "rtl/SysUtils.h"

namespace {

constexpr const char* kAuthorizeVariable = "VELTROW_OAUTH_AUTHORIZE_URL";
constexpr const char* kTokenVariable = "VELTROW_OAUTH_TOKEN_URL";
// The token endpoint answers in well under a second; a slow network may
// take long, an unanswering one ends here.
constexpr int kTokenRequestTimeoutMs = 60000;
// A browser's GET of the redirect is a few hundred bytes, Google's longest
// codes included.
constexpr qsizetype kMaxRedirectRequest = 16384;
// Providers answer without expires_in only where a default of an hour holds.
constexpr int kDefaultLifetimeS = 3600;

QString Q(const std::string& s) { return QString::fromStdString(s); }

std::string Base64Url(const QByteArray& bytes)
{
    return bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals).toStdString();
}

std::string Endpoint(const char* variable, const std::string& fallback)
{
    const char* value = std::getenv(variable);
    if (!value || !*value)
        return fallback;
    const QUrl url(QString::fromUtf8(value), QUrl::StrictMode);
    const bool loopback = QHostAddress(url.host()).isLoopback();
    if (url.isValid() && !url.host().isEmpty() &&
        (url.scheme() == QLatin1String("https") || (url.scheme() == QLatin1String("http") && loopback)))
        return value;
    throw EOAuthError(Format("環境変数 %s の「%s」は使えません。https の URL（ループバック アドレスなら http も可）を書いてください。",
                             variable, value));
}

// Form and query values percent-encoded, pairs in the order given.
QByteArray Encode(const std::vector<std::pair<const char*, std::string>>& pairs)
{
    QByteArray out;
    for (const auto& [name, value] : pairs) {
        if (!out.isEmpty())
            out += '&';
        out += name;
        out += '=';
        out += QUrl::toPercentEncoding(Q(value));
    }
    return out;
}

std::string RandomToken()
{
    QByteArray bytes(32, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
    return Base64Url(bytes);
}

void Answer(QTcpSocket* socket, int status, const char* reason, const QString& text)
{
    const QByteArray body = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Veltrow</title></head><body><p>" +
                            text.toHtmlEscaped().toUtf8() + "</p></body></html>\n";
    socket->write(Format("HTTP/1.1 %d %s\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: %d\r\n"
                         "Connection: close\r\nCache-Control: no-store\r\n\r\n",
                         status, reason, static_cast<int>(body.size()))
                      .c_str());
    socket->write(body);
    // Into the kernel now: the listener and its sockets may go before the
    // event loop would write it.
    socket->flush();
    socket->disconnectFromHost();
}

// The token endpoint's answer: tokens, or EOAuthError.
TOAuthTokens TokensOf(QNetworkReply& reply)
{
    // The form holds the code, the verifier and the client secret: they go to
    // the token endpoint itself or nowhere. A redirect is no answer (a 307 or
    // 308 followed would post them again to whatever address it names).
    const int status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 300 && status < 400) {
        const QUrl target = reply.header(QNetworkRequest::LocationHeader).toUrl();
        throw EOAuthError(Format("トークンの要求が別のアドレス（%s）へ転送されたため、中止しました（HTTP %d）。"
                                 "コードやクライアントシークレットは転送先へ送っていません。サインインのサーバーの"
                                 "アドレスを確かめてください。",
                                 target.toString(QUrl::RemoveUserInfo | QUrl::RemoveQuery).toStdString().c_str(),
                                 status));
    }
    const QJsonObject json = QJsonDocument::fromJson(reply.readAll()).object();
    const std::string error = json.value(QStringLiteral("error")).toString().toStdString();
    if (!error.empty())
        throw EOAuthError(OAuthErrorText(error, json.value(QStringLiteral("error_description")).toString().toStdString()),
                          error == "invalid_grant");
    if (reply.error() != QNetworkReply::NoError)
        throw EOAuthError("トークンを受け取れませんでした（" + reply.errorString().toStdString() + "）。");
    TOAuthTokens tokens;
    tokens.Access = json.value(QStringLiteral("access_token")).toString().toStdString();
    tokens.Refresh = json.value(QStringLiteral("refresh_token")).toString().toStdString();
    if (tokens.Access.empty())
        throw EOAuthError("トークンの応答にアクセストークンがありません。");
    // Some servers send the lifetime as a string.
    const QJsonValue lifetime = json.value(QStringLiteral("expires_in"));
    const int seconds = lifetime.isString() ? lifetime.toString().toInt() : lifetime.toInt(kDefaultLifetimeS);
    tokens.ExpiresAtMs = TickCount() + int64_t(seconds > 0 ? seconds : kDefaultLifetimeS) * 1000;
    return tokens;
}

// Runs a token request to its end (bounded, or until Stop is called).
TOAuthTokens TokenRequest(const TOAuthEndpoints& endpoints, const TOAuthAccount& account,
                          std::vector<std::pair<const char*, std::string>> form, std::function<void()>* stop,
                          const bool* aborted)
{
    form.emplace_back("client_id", account.ClientID);
    if (account.Method == lmOAuthGoogle)
        form.emplace_back("client_secret", account.TenantOrSecret);
    else
        form.emplace_back("scope", endpoints.Scope);
    QNetworkAccessManager manager;
    QNetworkRequest request(QUrl(Q(endpoints.TokenUrl)));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/x-www-form-urlencoded"));
    request.setRawHeader("Accept", "application/json");
    request.setTransferTimeout(kTokenRequestTimeoutMs);
    // Not followed at all: TokensOf refuses the redirect.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    std::unique_ptr<QNetworkReply> reply(manager.post(request, Encode(form)));
    QEventLoop loop;
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (stop)
        *stop = [&loop] { loop.quit(); };
    if (!reply->isFinished() && !(aborted && *aborted))
        loop.exec();
    if (stop)
        *stop = nullptr;
    if (aborted && *aborted)
        throw EOAuthAborted();
    if (!reply->isFinished())
        reply->abort();
    return TokensOf(*reply);
}

// The redirect's listener on both loopback addresses at one port: a browser
// may take "localhost" for either, and a port held on the other address by
// another local program would hand that program the code and the state.
class TLoopbackListener {
public:
    TLoopbackListener()
    {
        for (int attempt = 0; attempt < kListenAttempts; ++attempt) {
            if (!v4_.listen(QHostAddress::LocalHost, 0))
                throw EOAuthError("サインインの受け口を開けません（" + v4_.errorString().toStdString() + "）。");
            if (v6_.listen(QHostAddress::LocalHostIPv6, v4_.serverPort()))
                return;
            // Without IPv6 there is no ::1 that anyone could listen on, and
            // browsers reach localhost at 127.0.0.1 alone: that one serves.
            const auto why = v6_.serverError();
            if (why == QAbstractSocket::SocketAddressNotAvailableError ||
                why == QAbstractSocket::UnsupportedSocketOperationError)
                return;
            if (why != QAbstractSocket::AddressInUseError)
                throw EOAuthError("サインインの受け口を開けません（::1: " + v6_.errorString().toStdString() + "）。");
            // Another program holds the port on ::1: another port.
            v4_.close();
        }
        throw EOAuthError("サインインの受け口を開けません（127.0.0.1 と ::1 の両方で空いているポートが見つかりません）。");
    }
    uint16_t Port() const { return v4_.serverPort(); }
    std::vector<QTcpServer*> Servers()
    {
        std::vector<QTcpServer*> servers{&v4_};
        if (v6_.isListening())
            servers.push_back(&v6_);
        return servers;
    }

private:
    // Ports the kernel hands out for 127.0.0.1 are almost always free on ::1
    // too; each taken one is a program squatting there.
    static constexpr int kListenAttempts = 20;
    QTcpServer v4_, v6_;
};

// Takes the browser's call of the redirect: exactly one with this sign-in's
// state ends the wait, with the code or the provider's refusal.
class TRedirectCatcher {
public:
    TRedirectCatcher(std::string State, QEventLoop& Loop) : state_(std::move(State)), loop_(Loop) {}

    void Watch(QTcpServer& Server)
    {
        QObject::connect(&Server, &QTcpServer::newConnection, &loop_, [this, &Server] {
            while (QTcpSocket* socket = Server.nextPendingConnection()) {
                auto buffer = std::make_shared<QByteArray>();
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
                    *buffer += socket->readAll();
                    if (buffer->contains("\r\n\r\n"))
                        Handle(socket, *buffer);
                    else if (buffer->size() > kMaxRedirectRequest)
                        Answer(socket, 431, "Request Header Fields Too Large", QStringLiteral("要求が長すぎます。"));
                    else
                        return;
                    socket->disconnect();
                });
            }
        });
    }

    std::optional<std::string> Code;
    std::string Failure;

private:
    void Handle(QTcpSocket* socket, const QByteArray& request)
    {
        // "GET /?code=...&state=... HTTP/1.1"
        const QList<QByteArray> words = request.left(request.indexOf("\r\n")).split(' ');
        const QUrl target(words.size() == 3 ? QString::fromLatin1("http://127.0.0.1" + words[1]) : QString(),
                          QUrl::StrictMode);
        if (words.value(0) != "GET" || target.path() != QLatin1String("/")) {
            Answer(socket, 404, "Not Found", QStringLiteral("ページがありません。"));
            return;
        }
        const QUrlQuery items(target);
        auto item = [&items](const char* name) {
            return items.queryItemValue(QString::fromLatin1(name), QUrl::FullyDecoded).toStdString();
        };
        // Only the redirect of this sign-in counts; anything else (another
        // tab, a forged link) is turned away and the wait goes on.
        if (item("state") != state_ || Code || !Failure.empty()) {
            Answer(socket, 400, "Bad Request", QStringLiteral("このサインインの応答ではありません（state が一致しません）。"));
            return;
        }
        if (!item("error").empty()) {
            Failure = OAuthErrorText(item("error"), item("error_description"));
            Answer(socket, 200, "OK", QStringLiteral("サインインできませんでした。Veltrow に戻ってください。"));
        } else if (item("code").empty()) {
            Failure = "サインインの応答にコードがありません。";
            Answer(socket, 400, "Bad Request", QStringLiteral("サインインの応答にコードがありません。"));
        } else {
            Code = item("code");
            Answer(socket, 200, "OK", QStringLiteral("サインインしました。このタブを閉じてください。"));
        }
        loop_.quit();
    }

    std::string state_;
    QEventLoop& loop_;
};

// The provider's page that asks the user to sign in.
QUrl AuthorizePage(const TOAuthEndpoints& endpoints, const TOAuthAccount& account, const std::string& redirect,
                   const std::string& state, const std::string& verifier)
{
    std::vector<std::pair<const char*, std::string>> query{
        {"client_id", account.ClientID}, {"response_type", "code"},  {"redirect_uri", redirect},
        {"scope", endpoints.Scope},      {"state", state},           {"code_challenge", CodeChallenge(verifier)},
        {"code_challenge_method", "S256"}, {"login_hint", account.Login}};
    if (account.Method == lmOAuthGoogle) {
        // Google gives a refresh token only to offline access, and again
        // only when the consent is asked for anew.
        query.emplace_back("access_type", "offline");
        query.emplace_back("prompt", "consent");
    }
    QUrl page(Q(endpoints.AuthorizeUrl));
    const QByteArray existing = page.query(QUrl::FullyEncoded).toLatin1();
    page.setQuery(QString::fromLatin1((existing.isEmpty() ? QByteArray() : existing + '&') + Encode(query)),
                  QUrl::StrictMode);
    return page;
}

}  // namespace

// ---------------------------------------------------------------------------

std::optional<TOAuthAccount> TOAuthAccount::From(const TSettings& Settings)
{
    if (Settings.LoginMethod == lmPassword)
        return std::nullopt;
    TOAuthAccount account{Settings.LoginMethod, Settings.OAuthClientID, Settings.OAuthTenantOrSecret,
                          Settings.LoginName};
    if (account.Login.empty())
        throw EOAuthError(account.ProviderName() + " にサインインするには、ログイン名にメールアドレスを書いてください。");
    if (account.ClientID.empty())
        throw EOAuthError(account.ProviderName() + " にサインインするには、クライアントIDを設定してください。");
    return account;
}

std::string TOAuthAccount::ProviderName() const
{
    return Method == lmOAuthGoogle ? "Google" : "Microsoft 365";
}

std::string TOAuthAccount::Key() const
{
    return std::string(LoginMethodName(Method)) + ":" + ClientID + ":" + Login;
}

TOAuthEndpoints OAuthEndpoints(const TOAuthAccount& Account)
{
    TOAuthEndpoints e;
    if (Account.Method == lmOAuthGoogle) {
        e.AuthorizeUrl = "https://accounts.google.com/o/oauth2/v2/auth";
        e.TokenUrl = "https://oauth2.googleapis.com/token";
        e.Scope = "https://mail.google.com/";
        e.RedirectHost = "127.0.0.1";
    } else {
        const std::string tenant = Account.TenantOrSecret.empty()
                                       ? std::string("organizations")
                                       : QUrl::toPercentEncoding(Q(Account.TenantOrSecret)).toStdString();
        const std::string base = "https://login.microsoftonline.com/" + tenant + "/oauth2/v2.0/";
        e.AuthorizeUrl = base + "authorize";
        e.TokenUrl = base + "token";
        e.Scope = "https://outlook.office.com/SMTP.Send offline_access";
        e.RedirectHost = "localhost";
    }
    e.AuthorizeUrl = Endpoint(kAuthorizeVariable, e.AuthorizeUrl);
    e.TokenUrl = Endpoint(kTokenVariable, e.TokenUrl);
    return e;
}

std::string NewCodeVerifier() { return RandomToken(); }

std::string CodeChallenge(const std::string& Verifier)
{
    return Base64Url(QCryptographicHash::hash(QByteArray::fromStdString(Verifier), QCryptographicHash::Sha256));
}

std::string OAuthErrorText(const std::string& Error, const std::string& Description)
{
    static const std::pair<const char*, const char*> kTexts[] = {
        {"invalid_grant", "サインインの有効期限が切れたか、取り消されました。もう一度サインインしてください。"},
        {"invalid_client", "クライアントIDかクライアントシークレットが正しくありません。設定を確かめてください。"},
        {"unauthorized_client", "このクライアントIDにはこのサインイン方法が許可されていません。アプリの登録を確かめてください。"},
        {"access_denied", "サインインが拒否されました（同意されなかったか、管理者の同意が必要です）。"},
        {"consent_required", "管理者の同意が必要です。組織の管理者に依頼してください。"},
        {"interaction_required", "ブラウザでの操作が必要です。もう一度サインインしてください。"},
        {"invalid_scope", "求めた権限（スコープ）が受け付けられませんでした。アプリの登録を確かめてください。"},
        {"invalid_request", "サインインの要求が受け付けられませんでした。設定（クライアントID、テナント）を確かめてください。"},
        {"temporarily_unavailable", "サインインのサーバーが一時的に使えません。しばらくしてからもう一度試してください。"},
        {"server_error", "サインインのサーバーでエラーが起きました。しばらくしてからもう一度試してください。"},
    };
    std::string text = "サインインできませんでした。";
    for (const auto& [code, meaning] : kTexts)
        if (Error == code)
            text = meaning;
    text += "\nサーバーの応答: " + Error;
    if (!Description.empty())
        text += " (" + Description + ")";
    return text;
}

std::function<bool(const QUrl&)>& DesktopBrowser()
{
    static std::function<bool(const QUrl&)> opener;
    return opener;
}

bool OpenInBrowser(const QUrl& Url)
{
    if (DesktopBrowser() && DesktopBrowser()(Url))
        return true;
    // Platforms without a desktop (offscreen, a command line) still have
    // the user's browser as xdg-open would find it: $BROWSER first.
    const QString url = QString::fromLatin1(Url.toEncoded());
    const QString browser = qEnvironmentVariable("BROWSER").section(QLatin1Char(':'), 0, 0);
    QStringList command = browser.isEmpty() ? QStringList{QStringLiteral("xdg-open")} : QProcess::splitCommand(browser);
    if (command.isEmpty())
        return false;
    if (command.filter(QStringLiteral("%s")).isEmpty())
        command.append(url);
    else
        command.replaceInStrings(QStringLiteral("%s"), url);
    const QString program = command.takeFirst();
    return QProcess::startDetached(program, command);
}

// ---------------------------------------------------------------------------

TOAuthTokens TOAuthSignIn::Run()
{
    const TOAuthEndpoints endpoints = OAuthEndpoints(account_);
    // Loopback only: the code must not be offered to the network.
    TLoopbackListener listener;
    const std::string redirect = "http://" + endpoints.RedirectHost + ":" + std::to_string(listener.Port()) + "/";
    const std::string verifier = NewCodeVerifier();
    const std::string state = RandomToken();
    const std::string code =
        WaitForCode(listener.Servers(), AuthorizePage(endpoints, account_, redirect, state, verifier), state);
    return TokenRequest(endpoints, account_,
                        {{"grant_type", "authorization_code"}, {"code", code}, {"redirect_uri", redirect},
                         {"code_verifier", verifier}},
                        &stop_, &aborted_);
}

std::string TOAuthSignIn::WaitForCode(const std::vector<QTcpServer*>& Servers, const QUrl& Page,
                                      const std::string& State)
{
    QEventLoop loop;
    TRedirectCatcher catcher(State, loop);
    for (QTcpServer* server : Servers)
        catcher.Watch(*server);
    QTimer giveUp;
    giveUp.setSingleShot(true);
    QObject::connect(&giveUp, &QTimer::timeout, &loop, [&] {
        catcher.Failure = Format("%d 分以内にサインインが終わらなかったため、中止しました。", (TimeoutMs + 59999) / 60000);
        loop.quit();
    });
    giveUp.start(TimeoutMs);
    stop_ = [&loop] { loop.quit(); };
    const bool opened = OpenBrowser(Page);
    if (opened && !aborted_)
        loop.exec();
    stop_ = nullptr;
    for (QTcpServer* server : Servers)
        server->close();
    if (aborted_)
        throw EOAuthAborted();
    if (!opened)
        throw EOAuthError("ブラウザを開けませんでした。既定のブラウザを設定してください。");
    if (!catcher.Code)
        throw EOAuthError(catcher.Failure);
    return *catcher.Code;
}

void TOAuthSignIn::Abort()
{
    aborted_ = true;
    if (stop_)
        stop_();
}

TOAuthTokens RefreshTokens(const TOAuthAccount& Account, const std::string& RefreshToken)
{
    return TokenRequest(OAuthEndpoints(Account), Account, {{"grant_type", "refresh_token"}, {"refresh_token", RefreshToken}},
                        nullptr, nullptr);
}
