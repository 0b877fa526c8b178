#include "test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <random>

#include "digest/md5.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/message.h"
#include "platform/process.h"
#include "platform/text.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <spawn.h>
#include <sys/wait.h>
extern char** environ;
#endif

namespace fs = std::filesystem;

namespace testutil {

TempDir::TempDir() {
    std::random_device rd;
    for (;;) {
        fs::path p = fs::temp_directory_path() / ("updater-test-" + std::to_string(rd()));
        if (fs::create_directory(p)) {
            m_path = p.string();
            break;
        }
    }
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(m_path, ec);
}

std::string TempDir::Join(const std::string& name) const { return m_path + "/" + name; }

std::string ReadFile(const std::string& path) {
    std::string bytes;
    FILE* f = platform::OpenFile(path.c_str(), "rb");
    if (!f) return "<missing>";
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) bytes.append(buf, n);
    fclose(f);
    return bytes;
}

void WriteFile(const std::string& path, const std::string& bytes) {
    FILE* f = platform::OpenFile(path.c_str(), "wb");
    if (!f) throw std::runtime_error("cannot write " + path);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

bool Exists(const std::string& path) {
    FILE* f = platform::OpenFile(path.c_str(), "rb");
    if (f) fclose(f);
    return f != nullptr;
}

int RunSelf(const std::vector<std::string>& args) {
    char self[4096];
    if (!platform::ModulePath(self, sizeof(self))) return -1;
#ifdef _WIN32
    std::string command = std::string("\"") + self + "\"";
    for (const std::string& a : args) command += " \"" + a + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi)) {
        return -1;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<int>(code);
#else
    const std::string exe = platform::NativePath(self);
    std::vector<char*> argv{const_cast<char*>(exe.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

namespace {
std::mutex g_mutex;
std::vector<std::string> g_messages;
std::atomic<int> g_answer{1};
}  // namespace

FixedEnvironment::FixedEnvironment(int answer) {
    g_answer = answer;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_messages.clear();
    }
    platform::SetClockForTesting(&Clock);
    platform::SetMessageBoxHookForTesting(&Box);
}

FixedEnvironment::~FixedEnvironment() {
    platform::SetClockForTesting(nullptr);
    platform::SetMessageBoxHookForTesting(nullptr);
}

std::vector<std::string> FixedEnvironment::Messages() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_messages;
}

void FixedEnvironment::Clock(std::tm* out) {
    *out = std::tm{};
    out->tm_year = 2026 - 1900;
    out->tm_mon = 2;
    out->tm_mday = 5;
    out->tm_hour = 14;
    out->tm_min = 5;
    out->tm_sec = 9;
}

int FixedEnvironment::Box(const char* text, const char*, unsigned) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_messages.push_back(text);
    return g_answer;
}

void EndStdoutCapture(bool show) {
    const std::string out = testing::internal::GetCapturedStdout();
    if (show) fputs(out.c_str(), stdout);
}

std::string Md5Text(const std::string& bytes) {
    Md5Context ctx;
    Md5Init(&ctx);
    Md5Update(&ctx, bytes.data(), bytes.size());
    unsigned char digest[16];
    Md5Final(digest, &ctx);
    char text[33];
    DigestToHex(digest, text);
    return text;
}

}  // namespace testutil
