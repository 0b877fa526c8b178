#include "install/layout.h"

#include <utility>

#include "build_config.h"
#include "common/failure.h"
#include "common/text.h"
#include "net/url.h"

UrlStyle::UrlStyle() : utf8Names(UPDATER_URL_UTF8 != 0), cacheQueries(UPDATER_CACHE_QUERIES != 0) {}

InstallLayout::InstallLayout(std::string gameDir, std::string serverUrl, UrlStyle style)
    : m_gameDir(std::move(gameDir)), m_serverUrl(std::move(serverUrl)), m_style(style) {}

std::string InstallLayout::ManifestUrl() const {
    return m_serverUrl + ManifestName() + (m_style.cacheQueries ? FreshQuery() : "");
}

std::string InstallLayout::SignatureUrl() const {
    return m_serverUrl + SignatureName() + (m_style.cacheQueries ? FreshQuery() : "");
}

bool InstallLayout::Fits() const {
    for (const std::string& path :
         {LogPath(), LobbyPath(), InstalledSignature(), DownloadedSignature(), TreeRoot()}) {
        if (path.size() > kMaxPath) return false;
    }
    return true;
}

InstallLayout::Entry InstallLayout::For(const char* name, const char* md5) const {
    Entry entry;
    entry.installed = m_gameDir + "/" + name;
    entry.temporary = TreeRoot() + name;
    entry.logName = std::string(kPackageName) + "/" + name;
    for (const std::string* path : {&entry.installed, &entry.temporary}) {
        RequireFits(*path, name);
    }
    std::string path;
    if (!UrlPath(name, m_style.utf8Names, &path)) {
        throw UpdateFailed(FailedStep::Manifest,
                           std::string("文件名不合法，更新失败:") + Printable(name), name);
    }
    entry.url = m_serverUrl + kPackageName + "/" + path;
    if (m_style.cacheQueries && md5) entry.url += std::string("?md5=") + md5;
    if (entry.url.size() > kMaxUrl) {
        throw UpdateFailed(FailedStep::Session, std::string("路径太长，更新失败:") + name, name);
    }
    return entry;
}

void InstallLayout::RequireFits(const std::string& path, const char* what) {
    if (path.size() <= kMaxPath) return;
    throw UpdateFailed(FailedStep::Session, std::string("路径太长，更新失败:") + what, what);
}
