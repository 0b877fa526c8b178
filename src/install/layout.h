// Where one install keeps everything: the install folder and the updater's own files in
// it, the temporary tree, the server's URLs, and each listed file's installed path,
// temporary path and URL. Every path is derived here, once, with the length rule.
#pragma once

#include <cstddef>
#include <string>

class InstallLayout {
public:
    // The longest path the updater works with, in bytes: what the system's ANSI file
    // functions take (MAX_PATH, 260, less room for the name of a file made beside it).
    static constexpr size_t kMaxPath = 255;
    static constexpr char kPackageName[] = "Vadarodazu";

    InstallLayout() = default;
    // `gameDir`: the install folder, without a final separator; `serverUrl`: the
    // server's folder of releases, ending in "/" (".../DownLoad/").
    InstallLayout(std::string gameDir, std::string serverUrl);

    const std::string& GameDir() const { return m_gameDir; }
    const std::string& ServerUrl() const { return m_serverUrl; }
    // False when a path of the layout itself does not fit kMaxPath: the install folder
    // is too long to work in.
    bool Fits() const;

    std::string LogPath() const { return m_gameDir + "/updatelog.txt"; }
    std::string LobbyPath() const { return m_gameDir + "\\Halcyra.exe"; }
    std::string InstalledManifest() const { return m_gameDir + "\\" + kPackageName + ".xml"; }
    std::string UpdateFolder() const { return m_gameDir + "/Update"; }
    // The temporary tree: each listed file at its path below it.
    std::string PackageFolder() const { return UpdateFolder() + "/" + kPackageName; }
    std::string TreeRoot() const { return PackageFolder() + "/"; }
    std::string DownloadedManifest() const { return UpdateFolder() + "/" + kPackageName + ".xml"; }
    std::string DownloadedSignature() const { return DownloadedManifest() + ".sig"; }
    // The manifest's and its signature's names in the log, and their URLs.
    std::string ManifestName() const { return std::string(kPackageName) + ".xml"; }
    std::string SignatureName() const { return ManifestName() + ".sig"; }
    std::string ManifestUrl() const { return DownloadBase() + ManifestName(); }
    std::string SignatureUrl() const { return DownloadBase() + SignatureName(); }

    // One listed file's places. `logName` is how the log names it ("Vadarodazu/<name>").
    struct Entry {
        std::string installed;
        std::string temporary;
        std::string url;
        std::string logName;
    };
    // The places of the listed file `name` ("/" or "\" separated, as the manifest gives
    // it). Throws UpdateFailed, "路径太长，更新失败:<name>", when one does not fit.
    Entry For(const char* name) const;

    // Throws UpdateFailed, "路径太长，更新失败:<what>", when `path` does not fit kMaxPath.
    static void RequireFits(const std::string& path, const char* what);

private:
    // The base every file's URL starts with.
    std::string DownloadBase() const { return m_serverUrl + "/"; }

    std::string m_gameDir;
    std::string m_serverUrl;
};
