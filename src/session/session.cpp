// Session setup: the install directory and the names derived from it, the log, and the
// worker thread with its safe stop.
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "build_config.h"
#include "common/text.h"
#include "platform/platform.h"
#include "ui/update_dlg.h"

namespace {

const char kPackageName[] = "Vadarodazu";
const char kLobbyName[] = "Halcyra.exe";

// The program's name for the internet session: the executable's base name without
// its extension.
std::string ProgramName() {
    char path[260];
    if (!platform::ModulePath(path, sizeof(path))) return "updater";
    const char* sep = FindLastSeparator(path);
    std::string name = sep ? sep + 1 : path;
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    return name;
}

}  // namespace

CUpdateDlg::CUpdateDlg()
    : m_status(STATUS_RUNNING),
      m_totalSize(0),
      m_totalReceived(0),
      m_fileSize(100),
      m_fileReceived(0),
      m_buttonRect{0, 0, 0, 0},
      m_buttonState(0),
      m_newEntries(nullptr),
      m_newCount(0),
      m_oldEntries(nullptr),
      m_oldCount(0),
      m_pathTooLong(false),
      m_programName(ProgramName()),
      m_transfer(m_programName.c_str(), m_log, {m_fileSize, m_fileReceived, m_totalReceived},
                 m_stopRequested),
      m_parallelTransfers(UPDATER_PARALLEL_TRANSFERS),
      m_releaseKey(UPDATER_RELEASE_PUBKEY),
      m_host(nullptr),
      m_speed(0.0f),
      m_sampled(false),
      m_sampleTick(0),
      m_sampleReceived(0),
      m_outcome(EXIT_CANCELLED),
      m_workerRunning(false),
      m_stopRequested(false) {
    m_lobbyPath[0] = m_failMessage[0] = '\0';
    m_gameDir[0] = m_serverUrl[0] = m_downloadBase[0] = m_packageName[0] = '\0';
    memset(m_manifestMd5, 0, sizeof(m_manifestMd5));
    m_treeRoot[0] = '\0';
    m_newEntries = new ManifestEntry[kManifestCapacity]();
    m_oldEntries = new ManifestEntry[kManifestCapacity]();
}

CUpdateDlg::~CUpdateDlg() {
    if (!StopWorker(3000)) {
        // The worker is stuck in a network wait or a message box and still uses this
        // object: end the process with it, as the program always ends, rather than
        // free what it is using. Installed files are only ever replaced whole.
        std::_Exit(ExitCode());
    }
    FreeListBuffers();
    m_transfer.Close();
}

void CUpdateDlg::InitSessionPaths() {
    char moduleDir[260];
    platform::GetModuleDir(moduleDir);
    // A path the system could not give in full is as unusable as one too long to fit.
    char probe[260];
    const bool known = platform::ModulePath(probe, sizeof(probe));
    m_pathTooLong = !FormatText(m_gameDir, sizeof(m_gameDir), "%s", moduleDir) || !known;
    platform::SetCurrentFolder(m_gameDir);
    FormatText(m_serverUrl, sizeof(m_serverUrl), "%s://%s/DownLoad/", UPDATER_SERVER_SCHEME,
               UPDATER_SERVER_HOST);
    FormatText(m_packageName, sizeof(m_packageName), "%s", kPackageName);
    if (!FormatText(m_lobbyPath, sizeof(m_lobbyPath), "%s\\%s", m_gameDir, kLobbyName)) {
        m_pathTooLong = true;
    }
    FormatText(m_failMessage, sizeof(m_failMessage), "更新失败，请到 %s下载最新版本",
               UPDATER_WEBSITE);
}

bool CUpdateDlg::StartSession(const char* gameDir, const char* packageName,
                              const char* downloadBase) {
    // A folder too long for the buffers has been left empty: a log there would land at
    // the top of the file system, outside the install.
    char logPath[512];
    if (!m_pathTooLong && FormatText(logPath, sizeof(logPath), "%s/%s", gameDir, "updatelog.txt")) {
        m_log.Open(logPath);
    }
    m_log.WriteLine("下载%s,当前目录为:%s", packageName, gameDir);
    m_totalSize = 0;
    m_totalReceived = 0;
    if (gameDir != m_gameDir) {  // the window passes m_gameDir itself
        if (!FormatText(m_gameDir, sizeof(m_gameDir), "%s", gameDir)) m_pathTooLong = true;
    }

    if (m_pathTooLong) {
        // Paths below this folder would not fit the buffers they are built in, or its
        // name cannot be written in GBK: never work on another folder than this one.
        m_log.WriteLine("游戏目录路径太长，更新失败");
        platform::ShowMessageBox("游戏目录的路径太长，或含有无法表示的字符，无法自动更新",
                                 "自动更新失败", platform::kMbOk);
        m_status.store(STATUS_FAILED, std::memory_order_release);
        return false;
    }
    if (strlen(m_gameDir) < 3) {
        platform::ShowMessageBox("自动更新的游戏目录太短，可能是参数传输格式不对", "自动更新失败",
                                 platform::kMbOk);
        // No worker will run: the window ends the run as failed instead of waiting.
        m_status.store(STATUS_FAILED, std::memory_order_release);
        return false;
    }
    memset(m_manifestMd5, 0, sizeof(m_manifestMd5));
    if (!FormatText(m_downloadBase, sizeof(m_downloadBase), "%s", downloadBase)) {
        m_log.WriteLine("服务器地址太长，更新失败");
        m_status.store(STATUS_FAILED, std::memory_order_release);
        return false;
    }
    m_log.WriteLine("检查更新服务器");

    m_stopRequested = false;
    m_workerRunning = true;
    try {
        m_thread = std::thread(UpdateThreadProc, this);
    } catch (...) {
        m_workerRunning = false;
        m_log.WriteLine("无法启动更新线程");
        m_status.store(STATUS_FAILED, std::memory_order_release);
    }
    return false;
}

unsigned UpdateThreadProc(void* param) {
    if (!param) return 0;
    CUpdateDlg* dlg = static_cast<CUpdateDlg*>(param);
    int32_t status = STATUS_FINISHED;
    try {
        dlg->RunUpdate();
    } catch (...) {
        status = STATUS_FAILED;
    }
    dlg->m_status.store(status, std::memory_order_release);
    dlg->m_workerRunning.store(false, std::memory_order_release);
    return 0;
}

int CUpdateDlg::ExitCode() const { return m_outcome; }

bool CUpdateDlg::FileExists(const char* path) { return platform::PathExists(path); }

bool CUpdateDlg::StopWorker(unsigned waitMs) {
    m_stopRequested = true;
    if (!m_thread.joinable()) return true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (m_workerRunning.load(std::memory_order_acquire)) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    m_thread.join();
    return true;
}

void CUpdateDlg::FreeListBuffers() {
    if (m_workerRunning.load(std::memory_order_acquire)) return;
    delete[] m_newEntries;
    m_newEntries = nullptr;
    delete[] m_oldEntries;
    m_oldEntries = nullptr;
}

void CUpdateDlg::CheckStop() {
    if (m_stopRequested.load(std::memory_order_relaxed)) throw 0;
}
