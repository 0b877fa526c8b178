// The progress window's logic, driven through a recording canvas and a fake host, over a
// run whose progress the tests set.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/process.h"
#include "platform/window.h"
#include "test_util.h"
#include "ui/progress_window.h"

namespace {

namespace fs = std::filesystem;
using platform::SkinImage;

struct Draw {
    enum Kind { Blt, Stretch, Text } kind;
    SkinImage image;
    int x, y, cx, cy, srcX, srcY, srcCx, srcCy;
    std::string text;
};

class RecordingCanvas : public platform::Canvas {
public:
    void BitBlt(SkinImage image, int x, int y, int cx, int cy, int srcX, int srcY) override {
        draws.push_back({Draw::Blt, image, x, y, cx, cy, srcX, srcY, 0, 0, ""});
    }
    void StretchBlt(SkinImage image, int x, int y, int cx, int cy, int srcX, int srcY, int srcCx,
                    int srcCy) override {
        draws.push_back({Draw::Stretch, image, x, y, cx, cy, srcX, srcY, srcCx, srcCy, ""});
    }
    void Text(int x, int y, const char* text) override {
        draws.push_back({Draw::Text, SkinImage::Background, x, y, 0, 0, 0, 0, 0, 0, text});
    }
    // The bar drawn at row `top`, or null.
    const Draw* BarAt(int top) const {
        for (const Draw& d : draws) {
            if (d.kind == Draw::Stretch && d.y == top) return &d;
        }
        return nullptr;
    }
    std::vector<Draw> draws;
};

class FakeHost : public platform::WindowHost {
public:
    platform::Size ImageSize(SkinImage image) override {
        switch (image) {
            case SkinImage::Background:
                return background;
            case SkinImage::Button:
                return button;
            case SkinImage::Bar:
                return bar;
        }
        return {0, 0};
    }
    void SetTitle(const char* text) override { titles.push_back(text); }
    void Resize(int cx, int cy) override { sizes.push_back({cx, cy}); }
    void SetTimer(unsigned id, unsigned periodMs) override { timers.push_back({id, periodMs}); }
    void KillTimer(unsigned id) override { killed.push_back(id); }
    void Invalidate() override { ++invalidates; }
    void Close() override { ++closes; }
    void StartDrag() override { ++drags; }
    int Alert(const char* text, const char*, unsigned) override {
        alerts.push_back(text);
        return 1;
    }

    platform::Size background{368, 91}, button{212, 20}, bar{12, 10};
    std::vector<std::string> titles, alerts;
    std::vector<platform::Size> sizes;
    std::vector<std::pair<unsigned, unsigned>> timers;
    std::vector<unsigned> killed;
    int invalidates = 0, closes = 0, drags = 0;
};

// A run that only reports what the test sets, and counts the stops asked for.
class FakeRun : public ProgressSource {
public:
    Progress Snapshot() const override { return progress; }
    void Stop() override { ++stops; }
    bool StartLobby() override { return ++lobbyStarts > 0; }
    Progress progress;
    int stops = 0;
    int lobbyStarts = 0;
};

class ProgressWindowTest : public testing::Test {
protected:
    ProgressWindow& Open() {
        m_run.progress.fileSize = 0;
        m_dlg.reset(new ProgressWindow(m_run, "更新失败，请到 x下载最新版本"));
        EXPECT_TRUE(m_dlg->OnInitDialog(m_host));
        return *m_dlg;
    }
    // Sets the run's counters as the next timer tick reads them.
    void Set(uint64_t fileSize, uint64_t fileReceived, int64_t totalSize, int64_t totalReceived) {
        m_run.progress.fileSize = fileSize;
        m_run.progress.fileReceived = fileReceived;
        m_run.progress.totalSize = totalSize;
        m_run.progress.totalReceived = totalReceived;
        m_dlg->OnTimer(100);
    }
    RecordingCanvas Paint() {
        RecordingCanvas canvas;
        m_dlg->OnPaint(canvas);
        return canvas;
    }
    // The speed the window shows, in kb/s; -1 when the text is not the speed line.
    double ShownSpeed() {
        const std::string prefix = "下载速度:", suffix = "kb/s";
        for (const Draw& d : Paint().draws) {
            if (d.kind != Draw::Text) continue;
            const std::string& t = d.text;
            if (t.compare(0, prefix.size(), prefix) != 0 ||
                t.size() < prefix.size() + suffix.size() ||
                t.compare(t.size() - suffix.size(), suffix.size(), suffix) != 0) {
                return -1;
            }
            return atof(t.substr(prefix.size(), t.size() - prefix.size() - suffix.size()).c_str());
        }
        return -1;
    }

    FakeHost m_host;
    FakeRun m_run;
    std::unique_ptr<ProgressWindow> m_dlg;
    testutil::FixedEnvironment m_env;
};

TEST_F(ProgressWindowTest, InitSetsTitleTimerAndSizeFromTheBackground) {
    m_host.background = {500, 120};
    Open();
    ASSERT_EQ(m_host.titles.size(), 1u);
    EXPECT_EQ(m_host.titles[0], "大厅自动更新");
    ASSERT_EQ(m_host.timers.size(), 1u);
    EXPECT_EQ(m_host.timers[0], std::make_pair(100u, 100u));
    ASSERT_EQ(m_host.sizes.size(), 1u);
    EXPECT_EQ(m_host.sizes[0].cx, 500);
    EXPECT_EQ(m_host.sizes[0].cy, 120);

    // A larger background is drawn whole; everything else keeps its place.
    Set(10, 10, 10, 10);
    const RecordingCanvas c = Paint();
    ASSERT_EQ(c.draws.size(), 5u);
    EXPECT_EQ(c.draws[0].cx, 500);
    EXPECT_EQ(c.draws[0].cy, 120);
    EXPECT_EQ(c.draws[1].x, 20);
    EXPECT_EQ(c.draws[1].y, 69);
    EXPECT_EQ(c.draws[2].x, 10);
    EXPECT_EQ(c.draws[2].y, 37);
    EXPECT_EQ(c.draws[2].cx, 345);
    EXPECT_EQ(c.draws[3].y, 52);
    EXPECT_EQ(c.draws[4].x, 300);
    EXPECT_EQ(c.draws[4].y, 67);
}

TEST_F(ProgressWindowTest, PaintsBackgroundSpeedBarsAndButtonInOrder) {
    Open();
    Set(100, 50, 8, 7);
    const RecordingCanvas c = Paint();
    ASSERT_EQ(c.draws.size(), 5u);

    const Draw& bg = c.draws[0];
    EXPECT_EQ(bg.kind, Draw::Blt);
    EXPECT_EQ(bg.image, SkinImage::Background);
    EXPECT_EQ((std::vector<int>{bg.x, bg.y, bg.cx, bg.cy, bg.srcX, bg.srcY}),
              (std::vector<int>{0, 0, 368, 91, 0, 0}));

    EXPECT_EQ(c.draws[1].kind, Draw::Text);
    EXPECT_EQ(c.draws[1].text, "下载速度:0.00kb/s");

    for (int i : {2, 3}) {
        const Draw& bar = c.draws[i];
        EXPECT_EQ(bar.kind, Draw::Stretch);
        EXPECT_EQ(bar.image, SkinImage::Bar);
        EXPECT_EQ(bar.x, 10);
        EXPECT_EQ(bar.cy, 10);
        EXPECT_EQ((std::vector<int>{bar.srcX, bar.srcY, bar.srcCx, bar.srcCy}),
                  (std::vector<int>{0, 0, 10, 10}));
    }
    EXPECT_EQ(c.draws[2].y, 37);
    EXPECT_EQ(c.draws[2].cx, 172);
    EXPECT_EQ(c.draws[3].y, 52);
    EXPECT_EQ(c.draws[3].cx, 301);

    const Draw& button = c.draws[4];
    EXPECT_EQ(button.kind, Draw::Blt);
    EXPECT_EQ(button.image, SkinImage::Button);
    EXPECT_EQ(
        (std::vector<int>{button.x, button.y, button.cx, button.cy, button.srcX, button.srcY}),
        (std::vector<int>{300, 67, 53, 20, 0, 0}));

    m_dlg->OnMouseMove(310, 70);
    EXPECT_EQ(Paint().draws.back().srcX, 53);  // the highlighted frame
}

TEST_F(ProgressWindowTest, BarsForEmptyOverfullAndLargeSizes) {
    Open();
    Set(0, 10, 0, 10);
    RecordingCanvas c = Paint();
    EXPECT_EQ(c.BarAt(37), nullptr);
    EXPECT_EQ(c.BarAt(52), nullptr);

    Set(m_run.progress.fileSize, m_run.progress.fileReceived, -5, m_run.progress.totalReceived);
    EXPECT_EQ(Paint().BarAt(52), nullptr);

    // More received than announced: the bar runs past its trough.
    Set(100, 200, 100, 300);
    c = Paint();
    ASSERT_NE(c.BarAt(37), nullptr);
    EXPECT_EQ(c.BarAt(37)->cx, 690);
    ASSERT_NE(c.BarAt(52), nullptr);
    EXPECT_EQ(c.BarAt(52)->cx, 1035);

    // Files and updates around every width a size can take: half done, then done.
    for (const uint64_t size :
         {2147483647ULL, 2147483648ULL, 4294967295ULL, 4294967296ULL, 4831838208ULL, 1ULL << 40}) {
        const int64_t total = static_cast<int64_t>(size) + 1000;
        Set(size, size / 2, total, static_cast<int64_t>(size / 2));
        c = Paint();
        EXPECT_EQ(c.BarAt(37)->cx, 172) << size;
        EXPECT_EQ(c.BarAt(52)->cx, 172) << size;
        Set(size, size, total, total);
        c = Paint();
        EXPECT_EQ(c.BarAt(37)->cx, 345) << size;
        EXPECT_EQ(c.BarAt(52)->cx, 345) << size;
    }
}

TEST_F(ProgressWindowTest, ButtonHighlightsOnHoverAndRepaintsOnlyOnChange) {
    Open();
    const int before = m_host.invalidates;
    m_dlg->OnMouseMove(10, 10);
    EXPECT_EQ(m_host.invalidates, before);
    m_dlg->OnMouseMove(300, 67);  // top left corner: inside
    EXPECT_EQ(m_dlg->ButtonFrame(), 1);
    EXPECT_EQ(m_host.invalidates, before + 1);
    m_dlg->OnMouseMove(352, 86);  // bottom right pixel: still inside
    EXPECT_EQ(m_host.invalidates, before + 1);
    m_dlg->OnMouseMove(353, 70);  // right edge: outside
    EXPECT_EQ(m_dlg->ButtonFrame(), 0);
    EXPECT_EQ(m_host.invalidates, before + 2);
    m_dlg->OnMouseMove(330, 87);  // bottom edge: outside
    EXPECT_EQ(m_host.invalidates, before + 2);
}

TEST_F(ProgressWindowTest, ButtonFollowsTheButtonImage) {
    m_host.button = {240, 24};  // four frames of 60x24
    Open();
    EXPECT_EQ(m_dlg->ButtonRect().left, 300);
    EXPECT_EQ(m_dlg->ButtonRect().top, 67);
    EXPECT_EQ(m_dlg->ButtonRect().right, 360);
    EXPECT_EQ(m_dlg->ButtonRect().bottom, 91);
    m_dlg->OnMouseMove(359, 90);
    const Draw button = Paint().draws.back();
    EXPECT_EQ((std::vector<int>{button.cx, button.cy, button.srcX}),
              (std::vector<int>{60, 24, 60}));
}

TEST_F(ProgressWindowTest, ClickOnTheButtonClosesElsewhereDrags) {
    Open();
    m_dlg->OnLButtonDown(5, 5);
    m_dlg->OnLButtonDown(353, 80);
    EXPECT_EQ(m_host.drags, 2);
    EXPECT_EQ(m_host.closes, 0);
    m_dlg->OnLButtonDown(320, 75);
    EXPECT_EQ(m_host.closes, 1);
    EXPECT_EQ(m_host.drags, 2);
}

TEST_F(ProgressWindowTest, TimerEndsTheRunByStatus) {
    Open();
    const int before = m_host.invalidates;
    m_dlg->OnTimer(100);
    EXPECT_EQ(m_host.invalidates, before + 1);
    EXPECT_TRUE(m_host.killed.empty());
    EXPECT_EQ(m_host.closes, 0);
    EXPECT_TRUE(m_host.alerts.empty());
    EXPECT_EQ(m_dlg->ExitCode(), EXIT_CANCELLED);  // closed now, the run was cancelled

    m_run.progress.status = RunStatus::Failed;
    m_dlg->OnTimer(100);
    EXPECT_EQ(m_dlg->ExitCode(), EXIT_UPDATE_FAILED);
    EXPECT_EQ(m_run.lobbyStarts, 0);
    EXPECT_EQ(m_host.killed, std::vector<unsigned>{100});
    ASSERT_EQ(m_host.alerts.size(), 1u);
    EXPECT_EQ(m_host.alerts[0], "更新失败，请到 x下载最新版本");
    EXPECT_EQ(m_host.alerts[0].rfind("更新失败，请到 ", 0), 0u);
    EXPECT_EQ(m_host.closes, 1);
}

TEST_F(ProgressWindowTest, TimerClosesAFinishedRunWithoutAlert) {
    Open();
    m_run.progress.status = RunStatus::Finished;
    m_dlg->OnTimer(100);
    EXPECT_EQ(m_run.lobbyStarts, 1);
    EXPECT_EQ(m_dlg->ExitCode(), EXIT_UPDATED);
    EXPECT_EQ(m_host.killed, std::vector<unsigned>{100});
    EXPECT_EQ(m_host.closes, 1);
    EXPECT_TRUE(m_host.alerts.empty());
}

// The tick count the window reads, moved on by the test.
uint32_t g_ticks = 0;
uint32_t TestTicks() { return g_ticks; }

TEST_F(ProgressWindowTest, SpeedIsSampledOnceASecondInWholeKilobytes) {
    g_ticks = 0xFFFFFF00u;  // the tick count wraps during the test
    platform::SetTickCountForTesting(TestTicks);
    Open();
    m_dlg->OnTimer(100);
    Set(m_run.progress.fileSize, m_run.progress.fileReceived, m_run.progress.totalSize, 50 << 20);
    g_ticks += 500;
    m_dlg->OnTimer(100);  // still within the first second
    EXPECT_EQ(ShownSpeed(), 0.0);

    g_ticks += 600;
    m_dlg->OnTimer(100);
    // 50 MiB over 1.1 s is 46545 KiB/s. Taken in 32 bits, the product would wrap to
    // below 1000.
    const double speed = ShownSpeed();
    EXPECT_EQ(speed, 46545.0);

    // The next sample counts from the last one: nothing more arrived.
    m_dlg->OnTimer(100);
    EXPECT_EQ(ShownSpeed(), speed);
    g_ticks += 1050;
    m_dlg->OnTimer(100);
    EXPECT_EQ(ShownSpeed(), 0.0);

    // A sample in which the update passes 4 GiB: the same 50 MiB over 1.1 s.
    Set(m_run.progress.fileSize, m_run.progress.fileReceived, m_run.progress.totalSize,
        (int64_t{1} << 32) - (20 << 20));
    g_ticks += 1000;
    m_dlg->OnTimer(100);
    Set(m_run.progress.fileSize, m_run.progress.fileReceived, m_run.progress.totalSize,
        (int64_t{1} << 32) + (30 << 20));
    g_ticks += 1100;
    m_dlg->OnTimer(100);
    EXPECT_EQ(ShownSpeed(), 46545.0);
    platform::SetTickCountForTesting(nullptr);
}

}  // namespace
