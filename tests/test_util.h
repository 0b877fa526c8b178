// Helpers shared by the unit tests: scratch folders, whole-file reads and writes, a
// fixed clock and recorded message boxes.
#pragma once

#include <ctime>
#include <string>
#include <vector>

namespace testutil {

// A fresh folder for one test, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    // The folder's path (system separators), or the path of `name` inside it.
    const std::string& Path() const { return m_path; }
    std::string Join(const std::string& name) const;

private:
    std::string m_path;
};

// Whole files through the platform layer (GBK paths, either separator).
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool Exists(const std::string& path);
// The 32-digit MD5 text of `bytes`.
std::string Md5Text(const std::string& bytes);

// Runs this test program again with `args` and returns its exit code (-1 when it could
// not be started).
int RunSelf(const std::vector<std::string>& args);

// While alive, the clock reads 2026-03-05 14:05:09 and message boxes are recorded
// and answered with `answer`.
class FixedEnvironment {
public:
    explicit FixedEnvironment(int answer = 1);
    ~FixedEnvironment();
    static std::vector<std::string> Messages();

private:
    static void Clock(std::tm* out);
    static int Box(const char* text, const char* caption, unsigned style);
};

// Ends testing::internal::CaptureStdout; what was captured (the log's mirror, and the
// failure messages GoogleTest printed meanwhile) is shown when `show` is true.
void EndStdoutCapture(bool show);

}  // namespace testutil
