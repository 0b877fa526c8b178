#include "ui/progress_window.h"

#include <cstdio>
#include <utility>

#include "common/text.h"
#include "platform/clock.h"
#include "platform/message.h"
#include "platform/process.h"

namespace {

constexpr unsigned kTimerId = 100;
constexpr unsigned kTimerPeriodMs = 100;
constexpr int kBarLength = 345;  // the troughs of the background
constexpr int kBarLeft = 10;
constexpr int kFileBarTop = 37;
constexpr int kTotalBarTop = 52;
constexpr int kButtonLeft = 300;
constexpr int kButtonTop = 67;

}  // namespace

ProgressWindow::ProgressWindow(ProgressSource& run, std::string failMessage)
    : m_run(run), m_failMessage(std::move(failMessage)) {
    m_shown = m_run.Snapshot();
}

bool ProgressWindow::OnInitDialog(platform::WindowHost& host) {
    m_host = &host;
    host.SetTitle("大厅自动更新");
    const platform::Size button = host.ImageSize(platform::SkinImage::Button);
    m_buttonRect =
        Rect{kButtonLeft, kButtonTop, kButtonLeft + button.cx / 4, kButtonTop + button.cy};
    host.SetTimer(kTimerId, kTimerPeriodMs);
    const platform::Size background = host.ImageSize(platform::SkinImage::Background);
    host.Resize(background.cx, background.cy);
    return true;
}

void ProgressWindow::OnTimer(unsigned) {
    m_shown = m_run.Snapshot();
    // Speed, sampled at most once a second, in whole KiB per second. The product is
    // taken in 64 bits: in 32 bits it wraps above about 4 MB/s.
    const uint32_t now = platform::TickCount();
    const int64_t received = m_shown.totalReceived;
    if (!m_sampled) {
        m_sampled = true;
        m_sampleTick = now;
        m_sampleReceived = 0;
    }
    const uint32_t elapsed = now - m_sampleTick;
    if (elapsed >= 1000) {
        const uint64_t bytes = static_cast<uint64_t>(received - m_sampleReceived);
        m_speed = static_cast<float>((bytes * 1000 / elapsed) >> 10);
        m_sampleTick = now;
        m_sampleReceived = received;
    }
    m_host->Invalidate();

    if (m_shown.status == RunStatus::Finished) {
        m_host->KillTimer(kTimerId);
        m_outcome = EXIT_UPDATED;
        m_run.StartLobby();
        m_host->Close();
    } else if (m_shown.status == RunStatus::Failed) {
        m_outcome = EXIT_UPDATE_FAILED;
        m_host->KillTimer(kTimerId);
        m_host->Alert(m_failMessage.c_str(), nullptr, platform::kMbOk);
        m_host->Close();
    }
}

namespace {

// A bar of 20 cells and its percentage; dashes when the size is not known yet.
std::string Bar(double done, bool known) {
    if (!known) return "[--------------------]    -";
    const int cells = done >= 1.0 ? 20 : done <= 0.0 ? 0 : static_cast<int>(done * 20);
    char percent[16];
    snprintf(percent, sizeof(percent), "%5d%%", static_cast<int>(done * 100));
    return "[" + std::string(cells, '#') + std::string(20 - cells, '.') + "]" + percent;
}

}  // namespace

// The file shown, the whole update, the speed, the file's name.
std::string ProgressWindow::StatusLine() {
    const Progress& p = m_shown;
    char speed[64];
    FormatText(speed, sizeof(speed), "下载速度:%.2fkb/s", static_cast<double>(m_speed));
    std::string line =
        "file " + Bar(p.fileSize ? double(p.fileReceived) / p.fileSize : 0.0, p.fileSize != 0);
    line += "  total " +
            Bar(p.totalSize > 0 ? double(p.totalReceived) / p.totalSize : 0.0, p.totalSize > 0);
    line += std::string("  ") + speed;
    if (!p.fileName.empty()) line += "  " + p.fileName;
    return line;
}

void ProgressWindow::OnPaint(platform::Canvas& canvas) {
    using platform::SkinImage;
    const platform::Size background = m_host->ImageSize(SkinImage::Background);
    canvas.BitBlt(SkinImage::Background, 0, 0, background.cx, background.cy, 0, 0);

    char speed[64];
    FormatText(speed, sizeof(speed), "下载速度:%.2fkb/s", static_cast<double>(m_speed));
    canvas.Text(20, 69, speed);

    const platform::Size bar = m_host->ImageSize(SkinImage::Bar);
    const int h = bar.cy;
    if (m_shown.fileSize != 0) {
        const int width = static_cast<int>(static_cast<double>(m_shown.fileReceived) /
                                           m_shown.fileSize * kBarLength);
        canvas.StretchBlt(SkinImage::Bar, kBarLeft, kFileBarTop, width, h, 0, 0, h, h);
    }
    if (m_shown.totalSize > 0) {
        const int width = static_cast<int>(static_cast<double>(m_shown.totalReceived) /
                                           m_shown.totalSize * kBarLength);
        canvas.StretchBlt(SkinImage::Bar, kBarLeft, kTotalBarTop, width, h, 0, 0, h, h);
    }

    const int frame = m_buttonRect.right - m_buttonRect.left;
    canvas.BitBlt(SkinImage::Button, m_buttonRect.left, m_buttonRect.top, frame,
                  m_buttonRect.bottom - m_buttonRect.top, frame * m_buttonState, 0);
}

void ProgressWindow::OnLButtonDown(int x, int y) {
    if (m_buttonRect.Contains(x, y)) {
        // Cancel: the run winds down at its next safe point while the window closes.
        m_run.Stop();
        m_host->Close();
    } else {
        m_host->StartDrag();
    }
}

void ProgressWindow::OnMouseMove(int x, int y) {
    const bool inside = m_buttonRect.Contains(x, y);
    if (inside && m_buttonState == 0) {
        m_buttonState = 1;
        m_host->Invalidate();
    } else if (!inside && m_buttonState == 1) {
        m_buttonState = 0;
        m_host->Invalidate();
    }
}
