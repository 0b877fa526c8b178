// HalcyraPublish: the maker's side of an update. It turns a release folder (the lobby's
// files as they should be installed) into what the update server serves below its
// /DownLoad/ folder:
//
//   <download>/Vadarodazu.xml         the manifest: one "file" element per file, with
//                                     "filename", lower-case "md5" and "size"
//   <download>/Vadarodazu/<name>      every file, at its relative path
//
// Names are written in GBK, as the updater reads them; files on the server carry the
// GBK bytes as their names, which is what the updater asks for. Names the updater
// would refuse, or that a URL cannot carry, stop the publication.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "common/text.h"
#include "digest/md5.h"
#include "manifest/manifest.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

const char kPackage[] = "Vadarodazu";

struct File {
    std::string name;    // GBK, "/" separated, relative to the release folder
    std::string source;  // GBK path of the release file
    long long size = 0;
};

bool Walk(const std::string& folder, const std::string& prefix, std::vector<File>& files) {
    platform::FolderListing listing(folder.c_str());
    if (!listing.IsOpen()) {
        fprintf(stderr, "cannot read folder %s\n", platform::NativePath(folder.c_str()).c_str());
        return false;
    }
    std::string name;
    bool isFolder = false;
    while (listing.Next(name, isFolder)) {
        if (name == "." || name == "..") continue;
        const std::string path = folder + "/" + name;
        if (isFolder) {
            if (!Walk(path, prefix + name + "/", files)) return false;
            continue;
        }
        File f;
        f.name = prefix + name;
        f.source = path;
        std::error_code ec;
        f.size = static_cast<long long>(fs::file_size(platform::NativePath(path.c_str()), ec));
        if (ec) {
            fprintf(stderr, "cannot read %s\n", platform::NativePath(path.c_str()).c_str());
            return false;
        }
        files.push_back(f);
    }
    return true;
}

// The updater takes a body that starts with these bytes for a server's error page.
bool LooksLikeErrorPage(const std::string& source) {
    char head[32] = {0};
    FILE* in = platform::OpenFile(source.c_str(), "rb");
    if (!in) return false;
    const size_t n = fread(head, 1, sizeof(head), in);
    fclose(in);
    for (const char* marker : {"<html>", "<!DOCTYPE HTML PUBLIC"}) {
        const size_t len = strlen(marker);
        if (n >= len && memcmp(head, marker, len) == 0) return true;
    }
    return false;
}

// Why the updater (or a URL) could not take this file, or null.
const char* Refusal(const File& f) {
    if (f.name.size() >= sizeof(ManifestEntry{}.filename)) return "name longer than 179 bytes";
    if (!IsSafeEntryName(f.name.c_str())) return "name the updater refuses";
    if (IsUpdaterOwnName(f.name.c_str(), kPackage)) return "name of one of the updater's own files";
    // A backslash character, not the second byte of a double-byte one (as in "淺", 9C 5C).
    if (FindText(f.name.c_str(), "\\")) return "name with a backslash";
    if (f.name.find_first_of("#?%") != std::string::npos) return "name a URL cannot carry";
    if (f.size > 0x7FFFFFFFLL) return "file of 2 GiB or more";
    if (LooksLikeErrorPage(f.source)) {
        return "content starts like a web server's error page (\"<html>\" or \"<!DOCTYPE HTML "
               "PUBLIC\"), which the updater always refuses";
    }
    return nullptr;
}

bool CopyTo(const std::string& source, const std::string& target) {
    FILE* in = platform::OpenFile(source.c_str(), "rb");
    if (!in) return false;
    // The target's name is the GBK bytes themselves (not converted): that is the name
    // the updater's request names on the server.
    FILE* out = fopen(target.c_str(), "wb");
    bool ok = out != nullptr;
    char buf[65536];
    size_t n;
    while (ok && (n = fread(buf, 1, sizeof(buf), in)) > 0) ok = fwrite(buf, 1, n, out) == n;
    ok = ok && !ferror(in);
    fclose(in);
    if (out && fclose(out) != 0) ok = false;
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s RELEASE_FOLDER DOWNLOAD_FOLDER\n", argv[0]);
        return 2;
    }
    // Command-line paths are in the system's encoding; the updater's code takes GBK.
    const std::string release = argv[1];
    const std::string download = argv[2];

    std::vector<File> files;
    if (!Walk(release, "", files)) return 1;
    if (files.size() >= static_cast<size_t>(kManifestCapacity)) {
        fprintf(stderr, "%zu files: the updater takes at most %d\n", files.size(),
                kManifestCapacity - 1);
        return 1;
    }
    bool refused = false;
    for (const File& f : files) {
        if (const char* why = Refusal(f)) {
            fprintf(stderr, "refused: %s: %s\n", platform::NativePath(f.name.c_str()).c_str(), why);
            refused = true;
        }
    }
    if (refused) return 1;

    std::vector<ManifestEntry> entries(files.size());
    const std::string tree = download + "/" + kPackage;
    std::error_code ec;
    fs::remove_all(tree, ec);
    for (size_t i = 0; i < files.size(); ++i) {
        const File& f = files[i];
        ManifestEntry& e = entries[i];
        memset(&e, 0, sizeof(e));
        snprintf(e.filename, sizeof(e.filename), "%s", f.name.c_str());
        unsigned char digest[16] = {0};
        if (!FileMd5(f.source.c_str(), digest)) return 1;
        DigestToHex(digest, e.md5);
        e.size = static_cast<int32_t>(f.size);

        const std::string target = tree + "/" + f.name;
        fs::create_directories(fs::path(target).parent_path(), ec);
        if (!CopyTo(f.source, target)) {
            fprintf(stderr, "cannot write %s\n", target.c_str());
            return 1;
        }
    }
    // The manifest last, and in one step, so the server never lists a file it lacks.
    const std::string manifest = download + "/" + kPackage + ".xml";
    const std::string temp = manifest + ".new";
    if (!WriteManifest(temp.c_str(), entries.data(), static_cast<int>(entries.size())) ||
        rename(temp.c_str(), manifest.c_str()) != 0) {
        fprintf(stderr, "cannot write %s\n", manifest.c_str());
        return 1;
    }
    printf("published %zu files to %s\n", files.size(), download.c_str());
    return 0;
}
