#include "app/Application.h"

#include <QApplication>
#include <QDesktopServices>
#include <QUrl>
#include <QGuiApplication>
#include <QLabel>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QPalette>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QStringList>
#include <QTranslator>
#include <QWidget>

#include "engine/run/ErrorWords.h"
#include "engine/account/OAuth.h"
#include "platform/Windows.h"
#include "rtl/Exception.h"
#include "rtl/SysUtils.h"

TApplication& Application()
{
    static TApplication application;
    return application;
}

void TApplication::Initialize()
{
    // The platforms without a desktop would only log the URL and refuse.
    DesktopBrowser() = [](const QUrl& Url) {
        return QGuiApplication::platformName() != QLatin1String("offscreen") &&
               QGuiApplication::platformName() != QLatin1String("minimal") && QDesktopServices::openUrl(Url);
    };
    win::SetExceptionHandler([this](const std::exception& E) {
        HandleCommand([&] { ShowException(E); });
    });
}

void TApplication::MessageBox(TMsgDlgType Type, const std::string& Text)
{
    const std::string server = ErrorServer ? ErrorServer() : std::string();
    const TMessageBoxRequest request{Type, Title, Text, {}, 0,
                                     Type == mtError ? ExplainError(Text, server) : std::string()};
    if (MessageBoxHook) {
        MessageBoxHook(request);
        return;
    }
    const std::string shown = Type == mtError ? ErrorBoxText(Text, server) : Text;
    QMessageBox box(Type == mtError ? QMessageBox::Critical : QMessageBox::Information,
                    QString::fromStdString(request.Caption), QString::fromStdString(shown),
                    QMessageBox::Ok, QApplication::activeWindow());
    box.setFont(FormFont());
    box.exec();
}

int TApplication::Choose(TMsgDlgType Type, const std::string& Text, const std::vector<std::string>& Buttons,
                         int Default, int Cancel, const std::string& Caption)
{
    const TMessageBoxRequest request{Type, Caption.empty() ? Title : Caption, Text, Buttons, Default, {}};
    if (MessageBoxHook) {
        MessageBoxHook(request);
        return ChoiceHook ? ChoiceHook(request) : Default;
    }
    QMessageBox box(Type == mtError          ? QMessageBox::Critical
                    : Type == mtConfirmation ? QMessageBox::Question
                                             : QMessageBox::Information,
                    QString::fromStdString(request.Caption), QString::fromStdString(request.Text),
                    QMessageBox::NoButton, QApplication::activeWindow());
    box.setFont(FormFont());
    std::vector<QAbstractButton*> buttons;
    for (const std::string& caption : Buttons)
        buttons.push_back(box.addButton(QString::fromStdString(caption), QMessageBox::AcceptRole));
    auto button = [&](int index) { return buttons.at(static_cast<size_t>(index)); };
    box.setDefaultButton(static_cast<QPushButton*>(button(Default)));
    box.setEscapeButton(button(Cancel));
    box.exec();
    for (size_t i = 0; i < buttons.size(); ++i)
        if (box.clickedButton() == buttons[i])
            return static_cast<int>(i);
    return Cancel;
}

namespace {

// xdg-open hands the folder to the desktop's file manager and fails, after
// it started, where there is none: its exit status tells, not its start.
// Most finish at once; one still running after the wait is a file manager
// in the foreground, which has the folder.
constexpr int OpenerWaitMs = 5000;

bool OpenWithDesktop(const std::string& Path)
{
    auto* opener = new QProcess;
    opener->setProgram(QStringLiteral("xdg-open"));
    opener->setArguments({QString::fromStdString(Path)});
    opener->setStandardOutputFile(QProcess::nullDevice());
    opener->setStandardErrorFile(QProcess::nullDevice());
    opener->start();
    if (opener->waitForFinished(OpenerWaitMs) || opener->state() == QProcess::NotRunning) {
        const bool opened = opener->error() != QProcess::FailedToStart && opener->exitStatus() == QProcess::NormalExit
                            && opener->exitCode() == 0;
        delete opener;
        return opened;
    }
    QObject::connect(opener, &QProcess::finished, opener, &QObject::deleteLater);
    return true;
}

}  // namespace

void TApplication::OpenFolder(const std::string& Path)
{
    const bool opened = OpenFolderHook ? OpenFolderHook(Path) : OpenWithDesktop(Path);
    if (!opened)
        MessageBox(mtInformation, "フォルダを開けるプログラムが見つかりません。送信記録は次のフォルダにあります:\n" + Path);
}

bool TApplication::Ask(const std::string& Text)
{
    const TMessageBoxRequest request{mtConfirmation, Title, Text, {}, 0, {}};
    if (QuestionHook)
        return QuestionHook(request);
    QMessageBox box(QMessageBox::Question, QString::fromStdString(request.Caption), QString::fromStdString(Text),
                    QMessageBox::Yes | QMessageBox::No, QApplication::activeWindow());
    box.setFont(FormFont());
    box.button(QMessageBox::Yes)->setText(QStringLiteral("はい"));
    box.button(QMessageBox::No)->setText(QStringLiteral("いいえ"));
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void TApplication::ShowException(const std::exception& E)
{
    // A server's reply line keeps its line end; a box shows none.
    std::string text = WithoutLineEnd(E.what());
    if (text.empty())
        text = "エラーが発生しました";
    MessageBox(mtError, text);
}

void TApplication::HandleCommand(const std::function<void()>& Command) noexcept
{
    try {
        try {
            Command();
        } catch (const std::exception& e) {
            ShowException(e);
        } catch (...) {
            ShowException(Exception("不明なエラーが発生しました"));
        }
    } catch (...) {
        // The box itself failed (out of memory at worst); nothing is left
        // that could report it, and Qt must not see it.
    }
}

bool InstallQtTranslations(const QLocale& Locale)
{
    // Owned by the application object, so it goes before Qt does.
    static QTranslator* translator = new QTranslator(QCoreApplication::instance());
    QCoreApplication::removeTranslator(translator);
    if (!translator->load(Locale, QStringLiteral("qtbase"), QStringLiteral("_"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        return false;
    QCoreApplication::installTranslator(translator);
    return true;
}

void ShowMessage(const std::string& Text)
{
    Application().MessageBox(mtInformation, Text);
}

QFont FormFont(int PixelSize)
{
    QFont font;
    font.setFamilies({QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("IPAPGothic"),
                      QStringLiteral("IPAGothic"), QStringLiteral("Noto Sans CJK JP")});
    font.setPixelSize(PixelSize);
    return font;
}

void ApplyFormLook(QWidget* Form)
{
    Form->setFont(FormFont());
    QPalette palette = Form->palette();
    palette.setColor(QPalette::Window, palette.color(QPalette::Button));
    Form->setPalette(palette);
    Form->setAutoFillBackground(true);
}

void CenterOnScreen(QWidget* Form)
{
    QScreen* screen = Form->screen() ? Form->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    Form->move(area.center() - QPoint(Form->width() / 2, Form->height() / 2));
}

QLabel* MakeLabel(QWidget* Parent, const char* Name, const QString& Text, int X, int Y)
{
    auto* label = new QLabel(Text, Parent);
    label->setObjectName(QString::fromLatin1(Name));
    label->move(X, Y);
    label->adjustSize();
    return label;
}

QPushButton* MakeButton(QWidget* Parent, const char* Name, const QString& Caption,
                        std::function<void()> Handler)
{
    auto* button = new QPushButton(Caption, Parent);
    button->setObjectName(QString::fromLatin1(Name));
    QObject::connect(button, &QPushButton::clicked, Parent,
                     [Handler = std::move(Handler)] { Application().HandleCommand(Handler); });
    return button;
}
