#include "engine/account/ProfileFolder.h"

#include <QDir>
#include <QFileInfo>
#include <QString>

#include "engine/account/SettingsFile.h"

const char* const ProfileFolderName = "Veltrow";

namespace {

QString Q(const std::string& Text) { return QString::fromStdString(Text); }

}  // namespace

TProfileRequest TakeProfileOptions(std::vector<std::string>& Args)
{
    TProfileRequest request;
    std::vector<std::string> rest;
    const std::string inlineForm = "--profile=";
    for (size_t i = 0; i < Args.size(); ++i) {
        const std::string& arg = Args[i];
        if (arg == "--menu") {
            request.FromMenu = true;
        } else if (arg == "--profile") {
            if (i + 1 == Args.size() || Args[i + 1].empty())
                throw EProfileError("--profile の後にフォルダーを指定してください");
            request.Profile = Args[++i];
        } else if (arg.compare(0, inlineForm.size(), inlineForm) == 0) {
            if (arg.size() == inlineForm.size())
                throw EProfileError("--profile の後にフォルダーを指定してください");
            request.Profile = arg.substr(inlineForm.size());
        } else {
            rest.push_back(arg);
        }
    }
    Args = std::move(rest);
    return request;
}

std::string ChooseProfileFolder(const TProfileRequest& Request, const std::string& WorkingFolder,
                                const std::string& HomeFolder)
{
    const QDir working(Q(WorkingFolder));
    QString chosen;
    if (Request.Profile)
        chosen = working.absoluteFilePath(Q(*Request.Profile));
    else if (!Request.FromMenu && QFileInfo(working.filePath(Q(SettingsFileName))).isFile())
        chosen = working.absolutePath();
    else
        chosen = QDir(Q(HomeFolder)).absoluteFilePath(Q(ProfileFolderName));
    return QDir::cleanPath(chosen).toStdString();
}

std::string OpenProfileFolder(const TProfileRequest& Request)
{
    const std::string folder =
        ChooseProfileFolder(Request, QDir::currentPath().toStdString(), QDir::homePath().toStdString());
    const QFileInfo info(Q(folder));
    if (info.exists() && !info.isDir())
        throw EProfileError(Format("%s はフォルダーではありません", folder.c_str()));
    if (!QDir().mkpath(Q(folder)))
        throw EProfileError(Format("フォルダー %s を作成できません", folder.c_str()));
    return folder;
}
