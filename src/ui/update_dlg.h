// CUpdateDlg: the progress window's object. It owns everything one run of the updater
// uses: the session's paths and names, the two manifest arrays, the transfer, the log,
// and the values the worker thread shares with the window.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "log/update_log.h"
#include "manifest/manifest.h"
#include "net/download.h"
#include "platform/platform.h"

// m_status
enum : int32_t { STATUS_RUNNING = 0, STATUS_FINISHED = 3, STATUS_FAILED = 4 };

// The process's exit status.
enum : int {
    EXIT_UPDATED = 0,
    EXIT_UPDATE_FAILED = 1,
    EXIT_CANCELLED = 2,
    EXIT_ALREADY_RUNNING = 3
};

// The worker thread's entry: runs the update and stores its outcome in m_status.
unsigned UpdateThreadProc(void* param);

struct Rect {
    int32_t left, top, right, bottom;
    bool Contains(int x, int y) const { return x >= left && x < right && y >= top && y < bottom; }
};

class CUpdateDlg : public platform::WindowEvents {
public:
    CUpdateDlg();
    virtual ~CUpdateDlg();
    CUpdateDlg(const CUpdateDlg&) = delete;
    CUpdateDlg& operator=(const CUpdateDlg&) = delete;

    // ---- Session setup
    void InitSessionPaths();
    // Opens the log, checks the install directory and starts the worker. Always false.
    bool StartSession(const char* gameDir, const char* packageName, const char* downloadBase);
    static bool FileExists(const char* path);

    // ---- The worker's steps
    void RunUpdate();
    void DownloadFile(const char* fileName, const char* dirName, uint32_t expectedSize);
    void CloseTransfer();
    void CopyUpdateTree(const char* dstDir, const char* srcDir);

    // ---- The window (called by the platform's window on the UI thread)
    bool OnInitDialog(platform::WindowHost& host) override;
    void OnTimer(unsigned id) override;
    void OnPaint(platform::Canvas& canvas) override;
    void OnLButtonDown(int x, int y) override;
    void OnMouseMove(int x, int y) override;
    void OnDestroy() override;

    // ---- Ending a run
    // Asks the worker to stop at its next safe point (between chunks and files, never
    // while an installed file is being replaced) and waits up to `waitMs` for it. True
    // when no worker runs any more.
    bool StopWorker(unsigned waitMs);
    // Releases the manifest arrays, unless the worker may still use them.
    void FreeListBuffers();
    // How the run ended, as the process's exit status: EXIT_UPDATED only when the update
    // finished and the window went on to start the lobby.
    int ExitCode() const;

    // ---- Shared with the window: written by the worker, read by the UI thread.
    std::atomic<int32_t> m_status;
    std::atomic<int32_t> m_totalSize;
    std::atomic<int32_t> m_totalReceived;
    std::atomic<uint32_t> m_fileSize;
    std::atomic<uint32_t> m_fileReceived;

    char m_lobbyPath[256];
    char m_failMessage[500];
    Rect m_buttonRect;
    uint8_t m_buttonState;  // frame of the button strip: 0 normal, 1 highlighted

    ManifestEntry* m_newEntries;
    int m_newCount;
    ManifestEntry* m_oldEntries;
    int m_oldCount;

    // ---- Session
    char m_gameDir[256];
    char m_serverUrl[256];
    char m_downloadBase[256];
    char m_packageName[100];
    char m_manifestMd5[33];
    // The root of the temporary tree ("G/Update/Vadarodazu/"), set by RunUpdate: the
    // install step names each file by its path below it.
    char m_treeRoot[256];
    // Set by InitSessionPaths when the install directory's paths do not fit their buffers.
    bool m_pathTooLong;

    UpdateLog m_log;

    // ---- The download's connection, its stall rule and the digest of its last file
    std::string m_programName;  // the agent named to the server
    Transfer m_transfer;
    // Files fetched at once, each on a connection of its own (tests change it).
    unsigned m_parallelTransfers;
    // The maker's public key as text (release.pub), or empty: the build's key; tests
    // change it. With a key, only a signed release is applied.
    std::string m_releaseKey;

private:
    // Throws when the window has asked the worker to stop.
    void CheckStop();
    bool IsCurrent(ManifestEntry& entry);
    bool Signed() const { return !m_releaseKey.empty(); }
    // A signed release: fetches the manifest's signature, checks it over the bytes that
    // arrived at `manifestPath`, then the serial (not below `installedSerial`) and that
    // every record has its BLAKE2b digest; fills the new entries from those bytes and
    // returns them. Throws, with the reason logged, when any check fails.
    std::string ReadSignedManifest(const char* manifestPath, int64_t installedSerial);
    // The files the manifest lists and the install lacks, into the temporary tree: one
    // after another, or several at once (m_parallelTransfers).
    void DownloadListed();
    void PrepareDownload(const char* fileName, const char* dirName, uint32_t expectedSize,
                         char* localPath, char* url);
    void Fetch(Transfer& transfer, const char* url, const char* localPath, const char* fileName,
               uint32_t expectedSize);
    void RequireListedDigest(const Transfer& transfer, const ManifestEntry& entry,
                             const char* fileName);

    // The window; set by OnInitDialog.
    platform::WindowHost* m_host;
    float m_speed;  // whole KiB per second
    // The timer's speed sample: when it was last taken and the count it saw.
    bool m_sampled;
    uint32_t m_sampleTick;
    int32_t m_sampleReceived;

    // How the window ended the run (EXIT_UPDATED, EXIT_UPDATE_FAILED), set on the UI
    // thread; a window closed before either was cancelled, whatever the worker did after.
    int m_outcome;

    std::thread m_thread;
    std::atomic<bool> m_workerRunning;
    std::atomic<bool> m_stopRequested;

    friend unsigned UpdateThreadProc(void* param);
};
