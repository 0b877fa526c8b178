// Where one install keeps everything: the install folder and the updater's own files in
// it, the temporary tree, the server's URLs, and each listed file's installed path,
// temporary path and URL. Every path is derived here, once, with the length rule.
#pragma once

#include <cstddef>
#include <string>

// How the server's URLs are written (the build's choice; see build_config.h).
struct UrlStyle {
    UrlStyle();
    bool utf8Names;     // file names as UTF-8 rather than their GBK bytes
    bool cacheQueries;  // "?t=..." on the manifest, "?md5=..." on each file
};

class InstallLayout {
public:
    // The longest path the updater works with, in bytes: what the system's ANSI file
    // functions take (MAX_PATH, 260, less room for the name of a file made beside it).
    static constexpr size_t kMaxPath = 255;
    // The longest URL: what every server and proxy takes.
    static constexpr size_t kMaxUrl = 2000;
    static constexpr char kPackageName[] = "Vadarodazu";
    // The lobby, started when a run succeeds.
    static constexpr char kLobbyName[] = "Halcyra.exe";

    InstallLayout() = default;
    // `gameDir`: the install folder, without a final separator; `serverUrl`: the
    // server's folder of releases, ending in "/" (".../DownLoad/").
    InstallLayout(std::string gameDir, std::string serverUrl, UrlStyle style = UrlStyle());

    const std::string& GameDir() const { return m_gameDir; }
    const std::string& ServerUrl() const { return m_serverUrl; }
    // False when a path of the layout itself does not fit kMaxPath: the install folder
    // is too long to work in.
    bool Fits() const;

    std::string LogPath() const { return m_gameDir + "/updatelog.txt"; }
    std::string LobbyPath() const { return m_gameDir + "\\" + kLobbyName; }
    std::string InstalledManifest() const { return m_gameDir + "\\" + kPackageName + ".xml"; }
    // The signature of a signed installed manifest, kept beside it.
    std::string InstalledSignature() const { return InstalledManifest() + ".sig"; }
    std::string UpdateFolder() const { return m_gameDir + "/Update"; }
    // The temporary tree: each listed file at its path below it.
    std::string PackageFolder() const { return UpdateFolder() + "/" + kPackageName; }
    std::string TreeRoot() const { return PackageFolder() + "/"; }
    std::string DownloadedManifest() const { return UpdateFolder() + "/" + kPackageName + ".xml"; }
    std::string DownloadedSignature() const { return DownloadedManifest() + ".sig"; }
    // The parts of files an unfinished run kept, to go on from.
    std::string PartialList() const { return UpdateFolder() + "/partial.txt"; }
    // The manifest's and its signature's names in the log, and their URLs: asked for
    // with a query no cache has seen (a new one each time), when the style says so.
    std::string ManifestName() const { return std::string(kPackageName) + ".xml"; }
    std::string SignatureName() const { return ManifestName() + ".sig"; }
    std::string ManifestUrl() const;
    std::string SignatureUrl() const;

    // One listed file's places. `logName` is how the log names it ("Vadarodazu/<name>").
    struct Entry {
        std::string installed;
        std::string temporary;
        std::string url;
        std::string logName;
    };
    // The places of the listed file `name` ("/" or "\" separated, as the manifest gives
    // it) whose MD5 text is `md5` (null: no query names it). Throws UpdateFailed,
    // "路径太长，更新失败:<name>", when one does not fit.
    Entry For(const char* name, const char* md5 = nullptr) const;

    // Throws UpdateFailed, "路径太长，更新失败:<what>", when `path` does not fit kMaxPath.
    static void RequireFits(const std::string& path, const char* what);

private:
    std::string m_gameDir;
    std::string m_serverUrl;
    UrlStyle m_style;
};
