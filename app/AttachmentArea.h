// The main window's 添付ファイル area: the files every message of a run
// carries, added with 追加… (a file dialog) or dropped onto the area from a
// file manager, removed with 削除, and their total size.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <QWidget>

class QLabel;
class QListWidget;
class QPushButton;
#include <QStringList>

class TAttachmentArea : public QWidget {
public:
    explicit TAttachmentArea(QWidget* Parent);

    // The files in the list's order, as full paths.
    std::vector<std::string> Files() const;
    // Adds what is not in the list yet; folders are left out, since only files
    // can be attached.
    void AddFiles(const QStringList& Paths);
    // Removes the selected files.
    void RemoveSelected();

    // Replaces the file dialog of 追加… (tests); returns the chosen paths.
    std::function<QStringList()> ChooseFiles;

    QLabel* Label;
    QListWidget* List;
    QPushButton* AddButton;
    QPushButton* RemoveButton;
    QLabel* TotalLabel;

protected:
    void dragEnterEvent(QDragEnterEvent* Event) override;
    void dropEvent(QDropEvent* Event) override;
    void resizeEvent(QResizeEvent* Event) override;

private:
    void ShowTotal();
};
