#include "app/LastInput.h"

#include <QFile>
#include <QListWidget>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSaveFile>

#include "app/Application.h"
#include "app/AttachmentArea.h"
#include "app/Main.h"

const char* const LastInputFileName = "前回の入力.txt";
// No recipient file is named so: the line tells the layouts apart.
const char* const LastInputSignature = "# Veltrow 前回の入力（宛先ファイル、タイトル、添付ファイルの数とその名前、本文）";

namespace {

std::string InProfile() { return Application().Profile.File(LastInputFileName); }

// A line break inside a one-line field would shift every later line.
std::string OneLine(std::string Text)
{
    for (char& c : Text)
        if (c == '\r' || c == '\n')
            c = ' ';
    return Text;
}

// Cuts the next line off Text; a CR before the LF belongs to the line end
// (the file may have been edited on Windows).
std::string TakeLine(QByteArray& Text)
{
    const qsizetype end = Text.indexOf('\n');
    QByteArray line = end < 0 ? Text : Text.left(end);
    Text = end < 0 ? QByteArray() : Text.mid(end + 1);
    if (line.endsWith('\r'))
        line.chop(1);
    return line.toStdString();
}

}  // namespace

std::optional<TLastInput> ReadLastInput(const std::string& Path)
{
    QFile file(QString::fromStdString(Path));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray text = file.readAll();
    TLastInput input;
    input.RecipientFile = TakeLine(text);
    const bool withFiles = input.RecipientFile == LastInputSignature;
    if (withFiles)
        input.RecipientFile = TakeLine(text);
    input.Subject = TakeLine(text);
    if (withFiles) {
        // A count cut or spoilt by hand takes no body line for a file.
        const QByteArray count = QByteArray::fromStdString(TakeLine(text));
        bool ok = false;
        const int files = count.toInt(&ok);
        for (int i = 0; ok && i < files && !text.isEmpty(); ++i)
            input.Attachments.push_back(TakeLine(text));
    }
    input.Body = text.replace("\r\n", "\n").toStdString();
    return input;
}

bool WriteLastInput(const std::string& Path, const TLastInput& Input)
{
    QSaveFile file(QString::fromStdString(Path));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    std::string text = std::string(LastInputSignature) + "\n" + OneLine(Input.RecipientFile) + "\n"
                       + OneLine(Input.Subject) + "\n" + std::to_string(Input.Attachments.size()) + "\n";
    for (const std::string& file : Input.Attachments)
        text += OneLine(file) + "\n";
    text += Input.Body;
    file.write(text.data(), static_cast<qint64>(text.size()));
    return file.commit();
}

void RememberInput(const TForm1& Form)
{
    WriteLastInput(InProfile(), {Form.Edit1->text().toStdString(), Form.Edit2->text().toStdString(),
                                 Form.Memo1->toPlainText().toStdString(), Form.Attachments->Files()});
}

void RestoreInput(TForm1& Form)
{
    const std::optional<TLastInput> input = ReadLastInput(InProfile());
    if (!input)
        return;
    Form.Edit1->setText(QString::fromStdString(input->RecipientFile));
    Form.Edit2->setText(QString::fromStdString(input->Subject));
    Form.Memo1->setPlainText(QString::fromStdString(input->Body));
    // Even a file gone since stays listed: the Send then names it.
    QStringList files;
    for (const std::string& file : input->Attachments)
        files << QString::fromStdString(file);
    Form.Attachments->List->clear();
    Form.Attachments->AddFiles(files);
}
