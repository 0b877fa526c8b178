#include "install/layout.h"

#include <utility>

#include "common/failure.h"

InstallLayout::InstallLayout(std::string gameDir, std::string serverUrl)
    : m_gameDir(std::move(gameDir)), m_serverUrl(std::move(serverUrl)) {}

bool InstallLayout::Fits() const {
    for (const std::string& path :
         {LogPath(), LobbyPath(), InstalledManifest(), DownloadedSignature(), TreeRoot()}) {
        if (path.size() > kMaxPath) return false;
    }
    return true;
}

InstallLayout::Entry InstallLayout::For(const char* name) const {
    Entry entry;
    entry.installed = m_gameDir + "/" + name;
    entry.temporary = TreeRoot() + name;
    entry.logName = std::string(kPackageName) + "/" + name;
    entry.url = DownloadBase() + entry.logName;
    for (const std::string* path : {&entry.installed, &entry.temporary, &entry.url}) {
        RequireFits(*path, name);
    }
    return entry;
}

void InstallLayout::RequireFits(const std::string& path, const char* what) {
    if (path.size() <= kMaxPath) return;
    throw UpdateFailed(FailedStep::Session, std::string("路径太长，更新失败:") + what, what);
}
