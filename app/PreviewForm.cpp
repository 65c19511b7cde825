#include "app/PreviewForm.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>
#include <QStatusBar>

#include "app/Application.h"
#include "rtl/Exception.h"

namespace {

QString Q(const std::string& Utf8) { return QString::fromStdString(Utf8); }

}  // namespace

TPreviewForm::TPreviewForm(TSendEngine& Engine, TSendRequest Request, QWidget* Parent)
    : QWidget(Parent, Qt::Window), engine_(Engine), request_(std::move(Request))
{
    preview_ = engine_.Preview(request_);
    if (!preview_)
        throw Exception("宛先ファイルを読めませんでした");
    setObjectName(QStringLiteral("PreviewForm"));
    setWindowTitle(QStringLiteral("プレビュー"));
    setAttribute(Qt::WA_DeleteOnClose);
    ApplyFormLook(this);

    PreviousButton = MakeButton(this, "PreviousButton", QStringLiteral("前へ"), [this] { PreviousClick(); });
    NextButton = MakeButton(this, "NextButton", QStringLiteral("次へ"), [this] { NextClick(); });
    RowEdit = new QLineEdit(this);
    RowEdit->setObjectName(QStringLiteral("RowEdit"));
    RowEdit->setMaximumWidth(80);
    QObject::connect(RowEdit, &QLineEdit::returnPressed, this,
                     [this] { Application().HandleCommand([this] { RowEntered(); }); });
    RowLabel = new QLabel(this);
    MessageView = new QPlainTextEdit(this);
    MessageView->setObjectName(QStringLiteral("MessageView"));
    MessageView->setReadOnly(true);
    FindingsList = new QListWidget(this);
    FindingsList->setObjectName(QStringLiteral("FindingsList"));
    // A finding naming many rows is read whole, never scrolled sideways.
    FindingsList->setWordWrap(true);
    FindingsList->setResizeMode(QListView::Adjust);
    FindingsList->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    TestAddressEdit = new QLineEdit(this);
    TestAddressEdit->setObjectName(QStringLiteral("TestAddressEdit"));
    TestAddressEdit->setPlaceholderText(Q(engine_.Settings().FromAddress));
    TestSendButton = MakeButton(this, "TestSendButton", QStringLiteral("テスト送信"), [this] { TestSendClick(); });
    CloseButton = MakeButton(this, "CloseButton", QStringLiteral("閉じる"), [this] { close(); });
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    QObject::connect(escape, &QShortcut::activated, this, [this] { close(); });
    StatusBar = new QStatusBar(this);
    StatusBar->setObjectName(QStringLiteral("StatusBar"));
    StatusBar->setSizeGripEnabled(false);

    auto* rows = new QHBoxLayout;
    rows->addWidget(PreviousButton);
    rows->addWidget(new QLabel(QStringLiteral("行"), this));
    rows->addWidget(RowEdit);
    rows->addWidget(RowLabel);
    rows->addWidget(NextButton);
    rows->addStretch();
    auto* test = new QHBoxLayout;
    test->addWidget(new QLabel(QStringLiteral("テスト送信の宛先"), this));
    test->addWidget(TestAddressEdit, 1);
    test->addWidget(TestSendButton);
    test->addSpacing(16);
    test->addWidget(CloseButton);
    auto* grid = new QGridLayout(this);
    grid->addLayout(rows, 0, 0, 1, 2);
    grid->addWidget(MessageView, 1, 0);
    grid->addWidget(new QLabel(QStringLiteral("確認の結果"), this), 0, 1, Qt::AlignBottom);
    grid->addWidget(FindingsList, 1, 1);
    grid->addLayout(test, 2, 0, 1, 2);
    grid->addWidget(StatusBar, 3, 0, 1, 2);
    grid->setColumnStretch(0, 3);
    grid->setColumnStretch(1, 2);
    resize(760, 480);

    for (const std::string& finding : preview_->Findings())
        FindingsList->addItem(Q(finding));
    if (FindingsList->count() == 0)
        FindingsList->addItem(QStringLiteral("問題は見つかりませんでした"));
    ShowIndex(0);
}

TPreviewForm::~TPreviewForm() = default;

void TPreviewForm::ShowIndex(size_t Index)
{
    const size_t count = preview_->Entries().size();
    index_ = std::min(Index, count - 1);
    const TComposedRow row = preview_->Compose(index_);
    std::string text = ComposedText(row);
    if (!row.BeyondJis.empty())
        text = "ISO-2022-JP で送れない文字: " + row.BeyondJis + "\n" + text;
    if (!row.Problem.empty())
        text = "この行は送信しません（宛先不正: " + row.Problem + "）\n" + text;
    MessageView->setPlainText(Q(text));
    RowEdit->setText(QString::number(row.Line));
    RowLabel->setText(Q(Format("行目（%zu 件中 %zu 件目）", count, index_ + 1)));
    PreviousButton->setEnabled(index_ > 0);
    NextButton->setEnabled(index_ + 1 < count);
}

void TPreviewForm::PreviousClick()
{
    if (index_ > 0)
        ShowIndex(index_ - 1);
}

void TPreviewForm::NextClick() { ShowIndex(index_ + 1); }

void TPreviewForm::RowEntered()
{
    bool ok = false;
    const int line = RowEdit->text().trimmed().toInt(&ok);
    const std::optional<size_t> index = ok ? preview_->IndexOf(line) : std::nullopt;
    if (!index) {
        StatusBar->showMessage(QStringLiteral("宛先リストにその行の宛先はありません: ") + RowEdit->text());
        return;
    }
    ShowIndex(*index);
}

void TPreviewForm::TestSendClick()
{
    StatusBar->showMessage(QStringLiteral("テスト送信しています…"));
    std::string said;
    try {
        said = engine_.TestSend(request_, preview_->Entries()[index_].Line, TestAddressEdit->text().toStdString());
    } catch (...) {
        // The box that follows says why.
        StatusBar->showMessage(QStringLiteral("テスト送信できませんでした"));
        throw;
    }
    StatusBar->showMessage(said.empty() ? QStringLiteral("テスト送信を取りやめました") : Q(said));
}
