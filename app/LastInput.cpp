#include "app/LastInput.h"

#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSaveFile>

#include "app/Application.h"
#include "app/Main.h"

const char* const LastInputFileName = "前回の入力.txt";

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
    input.Subject = TakeLine(text);
    input.Body = text.replace("\r\n", "\n").toStdString();
    return input;
}

bool WriteLastInput(const std::string& Path, const TLastInput& Input)
{
    QSaveFile file(QString::fromStdString(Path));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const std::string text = OneLine(Input.RecipientFile) + "\n" + OneLine(Input.Subject) + "\n" + Input.Body;
    file.write(text.data(), static_cast<qint64>(text.size()));
    return file.commit();
}

void RememberInput(const TForm1& Form)
{
    WriteLastInput(InProfile(), {Form.Edit1->text().toStdString(), Form.Edit2->text().toStdString(),
                                 Form.Memo1->toPlainText().toStdString()});
}

void RestoreInput(TForm1& Form)
{
    const std::optional<TLastInput> input = ReadLastInput(InProfile());
    if (!input)
        return;
    Form.Edit1->setText(QString::fromStdString(input->RecipientFile));
    Form.Edit2->setText(QString::fromStdString(input->Subject));
    Form.Memo1->setPlainText(QString::fromStdString(input->Body));
}
