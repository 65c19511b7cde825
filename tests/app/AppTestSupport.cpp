#include "tests/app/AppTestSupport.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <QAbstractButton>
#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QApplication>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QStatusBar>
#include <QTest>

#include "app/About.h"
#include "app/Main.h"
#include "app/Setting.h"
#include "smtp/NMsmtp.h"

namespace apptest {
namespace {

// Far beyond the longest test (a 12 MB body under the sanitizers).
constexpr int64_t kWatchdogMs = 30000;

// One QApplication for the whole test program, as in the real one.
class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        static int argc = 1;
        static char name[] = "app_tests";
        static char* argv[] = {name, nullptr};
        app_ = new QApplication(argc, argv);
        // Tests close the main window; the process goes on to the next test.
        QApplication::setQuitOnLastWindowClosed(false);
        QApplication::setFont(FormFont());
        Application().Initialize();
        Application().Title = "Veltrow";
    }
    void TearDown() override
    {
        delete app_;
        app_ = nullptr;
    }

private:
    QApplication* app_ = nullptr;
};

[[maybe_unused]] const auto* const environment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool WaitUntil(const std::function<bool()>& Done, int TimeoutMs)
{
    const int64_t deadline = NowMs() + TimeoutMs;
    while (!Done()) {
        if (NowMs() > deadline)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void Click(QAbstractButton* Button)
{
    QTest::mouseClick(Button, Qt::LeftButton);
}

void TypeText(QWidget* Field, const QString& Text)
{
    QString pending;  // text for the input method
    auto commit = [&] {
        if (pending.isEmpty())
            return;
        QInputMethodEvent event;
        event.setCommitString(pending);
        QApplication::sendEvent(Field, &event);
        pending.clear();
    };
    for (QChar c : Text) {
        if (c == QLatin1Char('\n')) {
            commit();
            QTest::keyClick(Field, Qt::Key_Return);
        } else if (c.unicode() >= 0x20 && c.unicode() < 0x7F) {
            commit();
            QTest::keyClick(Field, static_cast<char>(c.unicode()));
        } else {
            pending += c;
        }
    }
    commit();
}

std::vector<QJsonObject> ReadMails(const std::vector<testsupport::SinkMessage>& Messages)
{
    std::vector<std::string> paths;
    for (const testsupport::SinkMessage& m : Messages)
        paths.push_back(m.Path);
    const auto result = testsupport::RunPython(
        testsupport::ReadWholeFile(VELTROW_SOURCE_DIR "/tests/app/read_mail.py"), paths);
    EXPECT_EQ(result.ExitCode, 0) << result.Output;
    std::vector<QJsonObject> mails;
    for (const QJsonValue& v : QJsonDocument::fromJson(QByteArray::fromStdString(result.Output)).array())
        mails.push_back(v.toObject());
    EXPECT_EQ(mails.size(), Messages.size()) << result.Output;
    return mails;
}

QJsonArray ReadAttachments(const std::vector<testsupport::SinkMessage>& Messages)
{
    std::vector<std::string> args{std::string(VELTROW_SOURCE_DIR) + "/tests/engine/read_attachments.py"};
    for (const auto& m : Messages)
        args.push_back(m.Path);
    const auto result = testsupport::RunPython(
        "import runpy, sys; sys.argv = sys.argv[1:]; runpy.run_path(sys.argv[0], run_name='__main__')", args);
    EXPECT_EQ(result.ExitCode, 0) << result.Output;
    return QJsonDocument::fromJson(QByteArray::fromStdString(result.Output)).array();
}

QString FileSha256(const std::string& Path)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(QByteArray::fromStdString(ReadFile(Path)), QCryptographicHash::Sha256).toHex());
}

std::string ReadFile(const std::string& Path)
{
    std::ifstream in(Path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& Path, const std::string& Bytes)
{
    std::ofstream out(Path, std::ios::binary | std::ios::trunc);
    out << Bytes;
}

bool IsDirectory(const std::string& Path)
{
    return std::filesystem::is_directory(Path);
}

Watch::Watch()
{
    statusChanged_ = QObject::connect(Form1->StatusBar1, &QStatusBar::messageChanged,
                                      [this](const QString& s) { status.push_back(s.toStdString()); });
    progressChanged_ = QObject::connect(Form1->Edit3, &QLineEdit::textChanged,
                                        [this](const QString& s) { progress.push_back(s.toStdString()); });
}

Watch::~Watch()
{
    QObject::disconnect(statusChanged_);
    QObject::disconnect(progressChanged_);
}

When::When(std::function<bool()> Ready, std::function<void()> Action)
    : ready_(std::move(Ready)), action_(std::move(Action))
{
    timer_.setInterval(1);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
        if (!done_ && ready_()) {
            done_ = true;
            timer_.stop();
            action_();
        }
    });
    timer_.start();
}

void AppTest::SetUp()
{
    oldDir_ = std::filesystem::current_path().string();
    char pattern[] = "/tmp/veltrow-app-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    scratch_ = pattern;
    std::filesystem::current_path(scratch_);

    Application().MessageBoxHook = [this](const TMessageBoxRequest& request) {
        const bool summary = request.Buttons.size() == 2 && request.Buttons[1] == "フォルダを開く";
        const bool confirmation = request.Caption == "送信の確認";
        (summary ? Summaries : confirmation ? Confirmations : Boxes).push_back(request);
        if (WhileBoxOpen)
            WhileBoxOpen(request);
    };
    Application().ChoiceHook = [this](const TMessageBoxRequest& request) {
        if (request.Caption == "送信の確認")
            return ConfirmSend ? 0 : static_cast<int>(request.Buttons.size()) - 1;
        return request.Buttons.size() == 3 && Choice ? *Choice : request.Default;
    };
    Application().OpenFolderHook = [](const std::string&) { return true; };
    Application().QuestionHook = [this](const TMessageBoxRequest& request) {
        Boxes.push_back(request);
        return QuestionAnswer;
    };
    CreateForms();
    Form1->show();

    started_ = NowMs();
    watchdog_.setInterval(200);
    QObject::connect(&watchdog_, &QTimer::timeout, [this] {
        if (NowMs() - started_ < kWatchdogMs || !Form1)
            return;
        if (!barked_)
            ADD_FAILURE() << "a wait was still running after " << kWatchdogMs << " ms; cut by the watchdog";
        barked_ = true;
        Form1->NMSMTP1->Abort();
    });
    watchdog_.start();
}

void AppTest::TearDown()
{
    watchdog_.stop();
    FreeForms();
    Application().MessageBoxHook = nullptr;
    Application().ChoiceHook = nullptr;
    Application().OpenFolderHook = nullptr;
    Application().QuestionHook = nullptr;
    std::filesystem::current_path(oldDir_);
    std::error_code ignored;
    std::filesystem::remove_all(scratch_, ignored);
}

void AppTest::WriteSettings(const std::string& Host, const std::string& Port, const std::string& UserID,
                            const std::string& FromName, const std::string& FromAddress)
{
    WriteFile(SettingsFileName,
              Host + "\r\n" + Port + "\r\n" + UserID + "\r\n" + FromName + "\r\n" + FromAddress + "\r\n");
}

std::string AppTest::WriteRecipients(const std::string& Bytes, const std::string& Name)
{
    const std::string path = scratch_ + "/" + Name;
    WriteFile(path, Bytes);
    return path;
}

std::vector<std::string> AppTest::BoxTexts() const
{
    std::vector<std::string> texts;
    for (const TMessageBoxRequest& box : Boxes)
        texts.push_back(box.Text);
    return texts;
}

}  // namespace apptest
