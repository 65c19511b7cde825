// The preview window: any row's message as its recipient will see it, the
// check's findings beside it, and a test send of the shown row.
#pragma once

#include <memory>

#include <QWidget>

#include "engine/compose/Preview.h"
#include "engine/run/SendEngine.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QStatusBar;

class TPreviewForm : public QWidget {
public:
    // Reads the list of Request through Engine, as a Send would (raises what
    // a Send would refuse before connecting).
    TPreviewForm(TSendEngine& Engine, TSendRequest Request, QWidget* Parent = nullptr);
    ~TPreviewForm() override;

    // Shows the row at Index of the list's entries.
    void ShowIndex(size_t Index);
    void PreviousClick();  // 前へ
    void NextClick();      // 次へ
    void RowEntered();     // the row number field
    void TestSendClick();  // テスト送信

    QPushButton* PreviousButton;
    QPushButton* NextButton;
    QLineEdit* RowEdit;
    QLabel* RowLabel;
    QPlainTextEdit* MessageView;
    QListWidget* FindingsList;
    QLineEdit* TestAddressEdit;
    QPushButton* TestSendButton;
    QPushButton* CloseButton;  // 閉じる, as Esc
    QStatusBar* StatusBar;

private:
    TSendEngine& engine_;
    TSendRequest request_;
    std::unique_ptr<TListPreview> preview_;
    size_t index_ = 0;
};
