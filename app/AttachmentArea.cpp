#include "app/AttachmentArea.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QListWidget>
#include <QMimeData>
#include <QPushButton>
#include <QUrl>

#include "app/Application.h"
#include "engine/compose/Attachments.h"

namespace {

constexpr int ButtonWidth = 72;

// Local files among what is dragged; a drag from a browser brings none.
QStringList LocalFiles(const QMimeData* Data)
{
    QStringList files;
    if (Data && Data->hasUrls())
        for (const QUrl& url : Data->urls())
            if (url.isLocalFile())
                files << url.toLocalFile();
    return files;
}

}  // namespace

TAttachmentArea::TAttachmentArea(QWidget* Parent) : QWidget(Parent)
{
    setObjectName(QStringLiteral("AttachmentArea"));
    setAcceptDrops(true);
    // Two lines: the fields begin 56 pixels in, narrower than the word.
    Label = MakeLabel(this, "AttachmentLabel", QStringLiteral("添付\nファイル"), 0, 4);
    List = new QListWidget(this);
    List->setObjectName(QStringLiteral("AttachmentList"));
    List->setSelectionMode(QAbstractItemView::ExtendedSelection);
    AddButton = MakeButton(this, "AttachmentAdd", QStringLiteral("追加…"), [this] {
        const QStringList files = ChooseFiles ? ChooseFiles()
                                              : QFileDialog::getOpenFileNames(this, QStringLiteral("添付ファイルを選択"));
        AddFiles(files);
    });
    RemoveButton = MakeButton(this, "AttachmentRemove", QStringLiteral("削除"), [this] { RemoveSelected(); });
    TotalLabel = new QLabel(this);
    TotalLabel->setObjectName(QStringLiteral("AttachmentTotal"));
    setTabOrder(List, AddButton);
    setTabOrder(AddButton, RemoveButton);
    ShowTotal();
}

std::vector<std::string> TAttachmentArea::Files() const
{
    std::vector<std::string> files;
    for (int i = 0; i < List->count(); ++i)
        files.push_back(List->item(i)->data(Qt::UserRole).toString().toStdString());
    return files;
}

void TAttachmentArea::AddFiles(const QStringList& Paths)
{
    for (const QString& path : Paths) {
        const QFileInfo info(path);
        if (info.isDir() || !List->findItems(info.absoluteFilePath(), Qt::MatchExactly).isEmpty())
            continue;
        // The full path shows, so two files of one name can be told apart.
        auto* item = new QListWidgetItem(info.absoluteFilePath(), List);
        item->setData(Qt::UserRole, info.absoluteFilePath());
    }
    ShowTotal();
}

void TAttachmentArea::RemoveSelected()
{
    qDeleteAll(List->selectedItems());
    ShowTotal();
}

void TAttachmentArea::ShowTotal()
{
    qint64 bytes = 0;
    for (int i = 0; i < List->count(); ++i)
        bytes += QFileInfo(List->item(i)->data(Qt::UserRole).toString()).size();
    TotalLabel->setText(List->count() == 0 ? QStringLiteral("なし")
                                           : QStringLiteral("%1 ファイル\n合計 %2").arg(List->count()).arg(QString::fromStdString(MegabytesText(bytes))));
    RemoveButton->setEnabled(List->count() > 0);
}

void TAttachmentArea::dragEnterEvent(QDragEnterEvent* Event)
{
    if (!LocalFiles(Event->mimeData()).isEmpty())
        Event->acceptProposedAction();
}

void TAttachmentArea::dropEvent(QDropEvent* Event)
{
    const QStringList files = LocalFiles(Event->mimeData());
    if (files.isEmpty())
        return;
    Event->acceptProposedAction();
    Application().HandleCommand([&] { AddFiles(files); });
}

void TAttachmentArea::resizeEvent(QResizeEvent* Event)
{
    QWidget::resizeEvent(Event);
    const int left = 56;  // the window's fields begin here
    const int listWidth = width() - left - ButtonWidth - 8;
    List->setGeometry(left, 0, listWidth, height());
    AddButton->setGeometry(left + listWidth + 8, 0, ButtonWidth, 24);
    RemoveButton->setGeometry(left + listWidth + 8, 28, ButtonWidth, 24);
    TotalLabel->setGeometry(left + listWidth + 8, 56, ButtonWidth, height() - 56);
    TotalLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    TotalLabel->setWordWrap(true);
    Label->adjustSize();
}
