// A whole run of the updater in-process: an install folder, the loopback server as the
// update server holding a release, and a run over both.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "digest/blake2b.h"
#include "loopback_server.h"
#include "manifest/manifest.h"
#include "session/update_run.h"
#include "test_util.h"

namespace testutil {

inline std::string Blake2bOf(const std::string& bytes) {
    Blake2b hash;
    hash.Update(bytes.data(), bytes.size());
    char text[kBlake2bTextSize];
    hash.Final(text);
    return text;
}

// One file of a release: its name, the MD5 text its record lists (the body's own unless
// a case lists another) and its bytes.
struct File {
    File(std::string listedName, std::string bytes)
        : name(std::move(listedName)), md5(Md5Text(bytes)), body(std::move(bytes)) {}
    File(std::string listedName, std::string listedMd5, std::string bytes)
        : name(std::move(listedName)), md5(std::move(listedMd5)), body(std::move(bytes)) {}
    std::string name, md5, body;
};

// The manifest of `files` as the publishing tool writes it: each file's name, MD5 text
// and size, its BLAKE2b too when `withBlake2b`, and the root's `serial` (above 0) and
// `expires` (other than kNoExpiry).
inline std::string ReleaseManifest(const std::vector<File>& files, int64_t serial = 0,
                                   bool withBlake2b = false, int64_t expires = kNoExpiry) {
    std::vector<ManifestEntry> entries(files.size());
    for (size_t i = 0; i < files.size(); ++i) {
        ManifestEntry& e = entries[i];
        snprintf(e.filename, sizeof(e.filename), "%s", files[i].name.c_str());
        snprintf(e.md5, sizeof(e.md5), "%s", files[i].md5.c_str());
        if (withBlake2b) {
            snprintf(e.blake2b, sizeof(e.blake2b), "%s", Blake2bOf(files[i].body).c_str());
        }
        e.size = static_cast<int32_t>(files[i].body.size());
    }
    return ManifestBytes(entries.data(), static_cast<int>(entries.size()), serial, expires);
}

class RunFixture : public testing::Test {
protected:
    void SetUp() override {
        testing::internal::CaptureStdout();
        options.connectTimeoutMs = 3000;
        options.receiveTimeoutMs = 2000;
    }
    void TearDown() override {
        run.reset();
        EndStdoutCapture(HasFailure());
    }

    // A new run over the install folder and the loopback server, with `options`.
    UpdateRun& NewRun() {
        run.reset();
        run.reset(new UpdateRun(dir.Path(), server.BaseUrl() + "/DownLoad/", options));
        return *run;
    }
    // A whole run on this thread: true when it finished, false when it failed.
    bool Run() { return NewRun().RunHere() == RunStatus::Finished; }
    // Where the server holds the manifest, its signature and a file of the release.
    static std::string ManifestPath() { return "/DownLoad/Vadarodazu.xml"; }
    static std::string SignaturePath() { return ManifestPath() + ".sig"; }
    static std::string FilePath(const std::string& name) { return "/DownLoad/Vadarodazu/" + name; }
    // Serves `manifest`, its `signature` when given, and every file's body.
    void ServeRelease(const std::string& manifest, const std::vector<File>& files,
                      const std::string* signature = nullptr) {
        server.Route(ManifestPath(), Reply{"200 OK", {}, manifest});
        if (signature) server.Route(SignaturePath(), Reply{"200 OK", {}, *signature});
        for (const File& f : files) server.Route(FilePath(f.name), Reply{"200 OK", {}, f.body});
    }
    // Requests for a file of the release.
    int Fetches(const std::string& name) { return server.Requests(FilePath(name)); }
    std::string Installed(const std::string& name) { return ReadFile(dir.Join(name)); }

    TempDir dir;
    FixedEnvironment env;
    LoopbackServer server;
    UpdateRun::Options options;
    std::unique_ptr<UpdateRun> run;
};

}  // namespace testutil
