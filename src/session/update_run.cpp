// The run's set-up and its thread: the install folder and the names derived from it, the
// log, the worker with its safe stop, and the progress the window reads.
#include "session/update_run.h"

#include <chrono>
#include <cstring>

#include "build_config.h"
#include "common/failure.h"
#include "common/text.h"
#include "platform/files.h"
#include "platform/message.h"
#include "platform/process.h"

namespace {

// The program's name for the internet session: the executable's base name without its
// extension.
std::string ProgramName() {
    char path[260];
    if (!platform::ModulePath(path, sizeof(path))) return "updater";
    const char* sep = FindLastSeparator(path);
    std::string name = sep ? sep + 1 : path;
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    return name;
}

std::string BuiltInServerUrl() {
    return std::string(UPDATER_SERVER_SCHEME) + "://" + UPDATER_SERVER_HOST + "/DownLoad/";
}

// The folder of the running executable; empty when the system could not give its path
// in full, or gave one that cannot be written in GBK.
std::string ModuleFolder() {
    char moduleDir[260];
    platform::GetModuleDir(moduleDir);
    char probe[260];
    if (!platform::ModulePath(probe, sizeof(probe))) return std::string();
    return moduleDir;
}

}  // namespace

UpdateRun::Options::Options()
    : parallelTransfers(UPDATER_PARALLEL_TRANSFERS),
      releaseKey(UPDATER_RELEASE_PUBKEY),
      minSerial(UPDATER_RELEASE_MIN_SERIAL),
      connectTimeoutMs(platform::HttpSession::kDefaultConnectTimeoutMs),
      receiveTimeoutMs(platform::HttpSession::kDefaultReceiveTimeoutMs),
      minRate(kMinTransferRate),
      rateWindowMs(kRateWindowMs) {}

UpdateRun::UpdateRun() : UpdateRun(ModuleFolder(), BuiltInServerUrl()) {
    if (m_folderUsable) platform::SetCurrentFolder(m_layout.GameDir().c_str());
}

UpdateRun::UpdateRun(const std::string& gameDir, const std::string& serverUrl,
                     const Options& options)
    : m_options(options),
      m_layout(gameDir, serverUrl, options.style),
      m_failMessage(std::string("更新失败，请到 ") + UPDATER_WEBSITE + "下载最新版本"),
      m_programName(ProgramName()),
      m_transfer(m_programName.c_str(), m_log, m_counters, m_stop.Token(), &m_prompter),
      m_newEntries(new ManifestEntry[kManifestCapacity]()),
      m_newCount(0),
      m_oldEntries(new ManifestEntry[kManifestCapacity]()),
      m_oldCount(0),
      m_status(RunStatus::Running),
      m_cancelled(false),
      m_failureLogged(false),
      m_workerRunning(false) {
    memset(m_manifestMd5, 0, sizeof(m_manifestMd5));
    // A folder the system could not name, or too long for the lobby's path: nothing is
    // done there, not even the log (it would land at the top of the file system).
    m_folderUsable = !gameDir.empty() && gameDir.size() <= InstallLayout::kMaxPath &&
                     m_layout.LobbyPath().size() <= InstallLayout::kMaxPath;
    m_transfer.SetTimeouts(options.connectTimeoutMs, options.receiveTimeoutMs);
    m_transfer.SetStallRule(options.minRate, options.rateWindowMs);
}

UpdateRun::~UpdateRun() {
    Stop();
    Wait(3000);
    if (m_thread.joinable()) {
        // The worker is stuck in a network wait or a message box and still uses this
        // object: end the process with it, as the program always ends, rather than free
        // what it is using. Installed files are only ever replaced whole.
        std::_Exit(1);
    }
    m_transfer.Close();
}

bool UpdateRun::Begin() {
    if (m_folderUsable) m_log.Open(m_layout.LogPath().c_str());
    m_log.WriteLine("下载%s,当前目录为:%s", InstallLayout::kPackageName,
                    m_layout.GameDir().c_str());
    m_counters.ResetTotal();
    m_cancelled = false;
    m_failureLogged = false;
    m_stop.Reset();
    if (!m_folderUsable) {
        // Paths below this folder would not fit, or its name cannot be written in GBK:
        // never work on another folder than this one.
        m_log.WriteLine("游戏目录路径太长，更新失败");
        platform::ShowMessageBox("游戏目录的路径太长，或含有无法表示的字符，无法自动更新",
                                 "自动更新失败", platform::kMbOk);
        End(RunStatus::Failed);
        return false;
    }
    if (m_layout.GameDir().size() < 3) {
        platform::ShowMessageBox("自动更新的游戏目录太短，可能是参数传输格式不对", "自动更新失败",
                                 platform::kMbOk);
        End(RunStatus::Failed);
        return false;
    }
    memset(m_manifestMd5, 0, sizeof(m_manifestMd5));
    if (m_layout.ServerUrl().size() >= InstallLayout::kMaxPath) {
        m_log.WriteLine("服务器地址太长，更新失败");
        End(RunStatus::Failed);
        return false;
    }
    m_log.WriteLine("检查更新服务器");
    return true;
}

bool UpdateRun::Start() {
    if (!Begin()) return false;
    {
        std::lock_guard<std::mutex> lock(m_doneMutex);
        m_workerRunning = true;
    }
    try {
        m_thread = std::thread([this] { Work(); });
    } catch (...) {
        m_log.WriteLine("无法启动更新线程");
        End(RunStatus::Failed);
        return false;
    }
    return true;
}

RunStatus UpdateRun::RunHere() {
    if (Begin()) {
        {
            std::lock_guard<std::mutex> lock(m_doneMutex);
            m_workerRunning = true;
        }
        Work();
    }
    m_lobby.Close();  // no window starts it
    return Status();
}

void UpdateRun::Work() {
    m_prompter.Own();
    RunStatus status = RunStatus::Finished;
    try {
        Update();
    } catch (const UpdateFailed& failure) {
        LogFailure(failure);
        status = RunStatus::Failed;
    } catch (const Cancelled&) {
        m_cancelled = true;
        status = RunStatus::Failed;
    } catch (const std::exception& failure) {
        m_log.WriteLine("更新失败:%s", Printable(failure.what()).c_str());
        status = RunStatus::Failed;
    } catch (...) {
        m_log.WriteLine("更新失败");
        status = RunStatus::Failed;
    }
    End(status);
}

void UpdateRun::LogFailure(const UpdateFailed& failure) {
    if (m_failureLogged.exchange(true)) return;  // written as it happened
    for (const std::string& line : failure.Lines()) m_log.WriteLine("%s", line.c_str());
}

void UpdateRun::End(RunStatus status) {
    m_status.store(status, std::memory_order_release);
    std::lock_guard<std::mutex> lock(m_doneMutex);
    m_workerRunning = false;
    m_doneChanged.notify_all();
}

bool UpdateRun::Wait(unsigned waitMs) {
    {
        std::unique_lock<std::mutex> lock(m_doneMutex);
        if (!m_doneChanged.wait_for(lock, std::chrono::milliseconds(waitMs),
                                    [this] { return !m_workerRunning; })) {
            return false;
        }
    }
    if (m_thread.joinable()) m_thread.join();
    return true;
}

void UpdateRun::Stop() { m_stop.RequestStop(); }

bool UpdateRun::StartLobby() { return Status() == RunStatus::Finished && m_lobby.Launch("A"); }

void UpdateRun::Abandon(const char* reason) {
    m_log.WriteLine("%s", reason);
    Stop();
}

Progress UpdateRun::Snapshot() const {
    Progress progress = m_counters.Read();
    progress.status = Status();
    return progress;
}
