// The application object: its title, its modal message boxes and the one
// place where an exception that leaves a command or handler ends up.
//
// Qt must never see an exception pass through its event dispatch, so every
// command, event handler and timer callback of the windows runs through
// HandleCommand, which shows the exception in an error box captioned with
// the title and lets the window carry on. A command started inside another
// one's wait (a Send pressed during a run) is caught on its own level, so
// the outer command goes on once its box is closed.
#pragma once

#include <exception>
#include <functional>
#include <string>
#include <vector>

#include <QFont>

#include "engine/account/Profile.h"

class QLabel;
class QLocale;
class QPushButton;
class QString;
class QWidget;

enum TMsgDlgType { mtInformation, mtError, mtConfirmation };

// What a modal box would show; handed to the test hook.
struct TMessageBoxRequest {
    TMsgDlgType Type = mtInformation;
    std::string Caption;
    std::string Text;
    // A box of Choose: its buttons' captions and the one Return presses.
    std::vector<std::string> Buttons;
    int Default = 0;
    // For an error box of a component's English text: the Japanese words
    // shown first, with what to do (app/ErrorWords.h); Text follows them.
    std::string Explanation;
};

class TApplication {
public:
    // The name shown for the running program; also the caption of its boxes.
    std::string Title;
    // The folder of the settings, the journal and the window's last input,
    // chosen at start (engine/account/ProfileFolder.h); empty: the working folder.
    TProfile Profile;

    // Makes this object the handler of exceptions that leave the socket
    // layer's own timer ticks as well, so they end in the same box.
    void Initialize();

    // Modal box with the text and an OK button; returns when it is closed.
    void MessageBox(TMsgDlgType Type, const std::string& Text);
    // Modal box with a button per caption; returns the index of the one
    // pressed; Return presses Default, Escape (or closing the box) Cancel.
    // Captioned with the title unless Caption says otherwise.
    int Choose(TMsgDlgType Type, const std::string& Text, const std::vector<std::string>& Buttons,
               int Default, int Cancel, const std::string& Caption = {});
    // Shows the folder in the desktop's file manager; where none opens it, a
    // box gives the folder's path instead.
    void OpenFolder(const std::string& Path);
    // Modal question with はい and いいえ (the default); true for はい.
    bool Ask(const std::string& Text);
    // The error box for an exception that reached the top of a command.
    void ShowException(const std::exception& E);
    // Runs Command; any exception is shown and goes no further.
    void HandleCommand(const std::function<void()>& Command) noexcept;

    // When set, replaces the real QMessageBox: the hook receives what the box
    // would show and decides how long the "user" takes to close it. Meant for
    // tests, which record the texts and answer the box.
    std::function<void(const TMessageBoxRequest&)> MessageBoxHook;
    // With MessageBoxHook set: the button a box of Choose gets (Default when
    // empty).
    std::function<int(const TMessageBoxRequest&)> ChoiceHook;
    // When set, replaces the file manager of OpenFolder; false: none opened it.
    std::function<bool(const std::string&)> OpenFolderHook;
    // The server of the settings a Send last used (ServerText), named by the
    // error boxes of a failed connection; unset or empty: none is named.
    std::function<std::string()> ErrorServer;
    // The same for Ask: the hook's result is the answer.
    std::function<bool(const TMessageBoxRequest&)> QuestionHook;
};

TApplication& Application();

// Qt's own texts (the file dialog, the standard buttons) in the language of
// Locale, from Debian's qt6-translations-l10n; replaces what an earlier call
// installed. False when Qt has no translation for it (English stays).
bool InstallQtTranslations(const QLocale& Locale);

// ShowMessage of the runtime: an information box captioned with the title.
void ShowMessage(const std::string& Text);

// "ＭＳ Ｐゴシック" at the given pixel height, falling back to the Japanese
// Gothic fonts that set-up installs, so no caption shows as boxes.
QFont FormFont(int PixelSize = 12);
// Font, colours and placement that all three windows share: "ＭＳ Ｐゴシック"
// 12 px, with the Japanese Gothic fonts set-up installs as fallbacks, on the
// button-face colour, centred on the screen.
void ApplyFormLook(QWidget* Form);
// Moves a top-level window to the middle of the screen it will appear on.
void CenterOnScreen(QWidget* Form);

// The controls of the windows, named as in their design. A label stands at
// X, Y, sized to its text; a button's click runs Handler through
// HandleCommand, so an exception ends in the error box.
QLabel* MakeLabel(QWidget* Parent, const char* Name, const QString& Text, int X, int Y);
QPushButton* MakeButton(QWidget* Parent, const char* Name, const QString& Caption,
                        std::function<void()> Handler);
