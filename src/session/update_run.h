// UpdateRun: one run of the updater over an install folder. It owns the install's layout,
// the manifests' records, the log, the connection to the server and the worker thread;
// the window sees it only as a ProgressSource (a snapshot of its progress, and Stop).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/progress.h"
#include "common/stop.h"
#include "install/install.h"
#include "install/layout.h"
#include "log/update_log.h"
#include "manifest/manifest.h"
#include "net/download.h"
#include "net/fetch_pool.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/prompter.h"

class UpdateRun : public ProgressSource {
public:
    // What a caller may choose besides the install folder and the server; the defaults
    // are the build's.
    struct Options {
        Options();
        // Files fetched at once, each on a connection of its own.
        unsigned parallelTransfers;
        // The maker's public key as text (release.pub), or empty: with a key, only a
        // signed release is applied.
        std::string releaseKey;
        // The lowest serial a signed release may have where the installed manifest holds
        // none (a fresh install, or one whose manifest is gone).
        int64_t minSerial;
        unsigned connectTimeoutMs;
        unsigned receiveTimeoutMs;
        // The stall rule: less than this many bytes per second over the window.
        uint32_t minRate;
        uint32_t rateWindowMs;
        // How failures that may be tried again are (tests shorten the waits).
        RetryLimits retry;
        // How the server's URLs are written.
        UrlStyle style;
    };

    // The install folder of the running executable and the build's server.
    UpdateRun();
    // Another folder and server: `serverUrl` is the server's ".../DownLoad/".
    UpdateRun(const std::string& gameDir, const std::string& serverUrl,
              const Options& options = Options());
    // Stops the worker and waits for it (see Wait).
    ~UpdateRun() override;
    UpdateRun(const UpdateRun&) = delete;
    UpdateRun& operator=(const UpdateRun&) = delete;

    // Opens the log, checks the install folder and starts the worker thread. False when
    // the run cannot start: its status is then Failed, the reason logged or shown.
    bool Start();
    // The whole run on the calling thread instead (tests, tools): the same steps, the
    // same log, no lobby started (nor held once it returns); returns how it ended
    // (Finished, or Failed also when it was stopped).
    RunStatus RunHere();
    // Waits up to `waitMs` for the worker to end. True when no worker runs any more.
    bool Wait(unsigned waitMs);

    Progress Snapshot() const override;
    void Stop() override;
    bool StartLobby() override;
    // Stops the run for a reason of the caller's, written to the log first.
    void Abandon(const char* reason);
    RunStatus Status() const { return m_status.load(std::memory_order_acquire); }
    // Whether the last run ended because it was stopped.
    bool WasCancelled() const { return m_cancelled.load(std::memory_order_acquire); }

    const InstallLayout& Layout() const { return m_layout; }
    // The text the window shows when the run failed.
    const std::string& FailMessage() const { return m_failMessage; }
    int LogLines() const { return m_log.LineCount(); }

private:
    bool Begin();
    void Work();
    void End(RunStatus status);
    // The failure's lines, once a run (as soon as it is known, or where the run ends).
    void LogFailure(const UpdateFailed& failure);

    // The update procedure, on the worker thread; every failure leaves it as an
    // UpdateFailed (or Cancelled).
    void Update();
    void PrepareTree();
    // The server's manifest into the new records; its MD5 text into m_manifestMd5. In a
    // signed release, the verified bytes are returned.
    std::string FetchManifest(int64_t installedSerial);
    // The manifest or its signature into `path`, at most `mostBytes` bytes: a transient
    // failure is tried again as the transfer pool tries files.
    void FetchWhole(const std::string& url, const std::string& path, const std::string& name,
                    uint64_t mostBytes);
    // A signed release: fetches the manifest's signature and has the release checked
    // (CheckSignedRelease) against `installedSerial` and the time now; fills the new
    // records from the verified bytes and returns them.
    std::string ReadSignedManifest(int64_t installedSerial);
    // The installed manifest's records and serial in a signed run; kNoSerial (and no
    // records) when it is missing or its kept signature does not verify.
    int64_t ReadSignedInstall();
    void CheckNames();
    bool IsCurrent(ListedFile& file);
    // The installed copy of `file` by its record in the installed manifest, when there
    // is one for its path and MD5: 1 current, 0 not, -1 no such record.
    int CurrentByRecord(ListedFile& file, const platform::HeldFolder& folder, const char* name);
    // The folder of `path` (below the install folder), reached from the held install
    // folder through `links`, made when missing and `create`.
    platform::HeldFolder::Result Reach(const std::string& path, platform::Links links, bool create,
                                       platform::HeldFolder& folder) const;
    // Where the layout's `layoutPath`, a file directly in Update/, is reached through the
    // held Update/ folder.
    std::string InUpdate(const std::string& layoutPath) const;
    // Before the first file is fetched: what the run will write on each file system it
    // writes to (the temporary tree's, and that of a folder the player linked elsewhere),
    // against the space free there. Fails the run when one is short.
    void CheckSpace();
    // The files the install lacks, into the temporary tree.
    void DownloadListed();
    void FetchListed(Transfer& transfer, ListedFile& file, FetchState& state, bool noCache);
    // Builds `file` at `local` from the blocks its installed copy shares with it (see
    // Transfer::FetchByBlocks); false, with a line saying why, when it is to come whole.
    bool FetchByBlocks(Transfer& transfer, ListedFile& file, const std::string& local,
                       bool noCache);
    // Parts of the files to fetch kept by an earlier run, and those this run leaves.
    void ReadPartials(const std::vector<ListedFile*>& wanted, std::vector<FetchState>& states);
    void WritePartials(const std::vector<ListedFile*>& wanted,
                       const std::vector<FetchState>& states);
    // The folder of `temporaryPath` in the temporary tree, made of real folders from the
    // tree's root down (a link in the way is removed, never followed), held open while
    // the file is written into it.
    platform::HeldFolder TreeFolder(const std::string& temporaryPath, const std::string& logName);
    void Record(const std::string& signedManifest);
    // Holds the lobby the window starts, from here until it has started, and checks it
    // against its record (when the release lists it) from what is held.
    void HoldLobby();
    bool Signed() const { return !m_options.releaseKey.empty(); }
    DigestKind Kind() const { return Signed() ? DigestKind::kBlake2b : DigestKind::kMd5; }

    const Options m_options;
    InstallLayout m_layout;
    // The install folder, held from the run's first step: every file and folder of the
    // install and of the temporary tree is reached from it.
    platform::HeldFolder m_install;
    platform::HeldFolder m_update;    // Update/, the running user's own
    platform::HeldFolder m_treeRoot;  // while files are fetched
    bool m_folderUsable;              // the install folder's paths can be written and fit
    std::string m_failMessage;

    UpdateLog m_log;
    ProgressCounters m_counters;
    StopSource m_stop;
    platform::Prompter m_prompter;
    std::string m_programName;  // the agent named to the server
    Transfer m_transfer;        // the connection the manifest comes over

    std::unique_ptr<ManifestEntry[]> m_newEntries;
    int m_newCount;
    std::unique_ptr<ManifestEntry[]> m_oldEntries;
    int m_oldCount;
    char m_manifestMd5[33];
    std::string m_releaseSignature;   // the verified signature, kept with the manifest
    platform::HeldProgram m_lobby;    // once the run has finished
    std::vector<int> m_duplicates;    // the later entries of files listed twice
    std::vector<ListedFile> m_files;  // the new records as this run goes through them

    std::atomic<RunStatus> m_status;
    std::atomic<bool> m_cancelled;
    std::atomic<bool> m_failureLogged;  // this run's failure is in the log
    std::thread m_thread;
    std::mutex m_doneMutex;
    std::condition_variable m_doneChanged;
    bool m_workerRunning;
};
