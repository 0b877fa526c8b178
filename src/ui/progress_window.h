// The progress window's logic: painting, the timer tick that ends the run, the mouse. It
// reads the run's progress and asks it to stop; the platform's window calls it on the
// UI thread.
#pragma once

#include <cstdint>
#include <string>

#include "common/exit_status.h"
#include "common/progress.h"
#include "platform/window.h"

struct Rect {
    int32_t left, top, right, bottom;
    bool Contains(int x, int y) const { return x >= left && x < right && y >= top && y < bottom; }
};

class ProgressWindow : public platform::WindowEvents {
public:
    // The run's lobby is started when the run has finished; `failMessage` is shown when
    // it failed.
    ProgressWindow(ProgressSource& run, std::string failMessage);

    bool OnInitDialog(platform::WindowHost& host) override;
    void OnTimer(unsigned id) override;
    void OnPaint(platform::Canvas& canvas) override;
    void OnLButtonDown(int x, int y) override;
    void OnMouseMove(int x, int y) override;
    void OnDestroy() override {}
    std::string StatusLine() override;

    // How the run ended, as the process's exit status: EXIT_UPDATED only when the update
    // finished and the window went on to start the lobby; a window closed before either
    // outcome was cancelled, whatever the run did after.
    int ExitCode() const { return m_outcome; }
    // The Cancel button, in window coordinates.
    const Rect& ButtonRect() const { return m_buttonRect; }
    // The frame of the button strip shown: 0 normal, 1 highlighted.
    int ButtonFrame() const { return m_buttonState; }

private:
    ProgressSource& m_run;
    const std::string m_failMessage;
    platform::WindowHost* m_host = nullptr;
    Progress m_shown;  // what the last timer tick saw
    Rect m_buttonRect{0, 0, 0, 0};
    uint8_t m_buttonState = 0;
    float m_speed = 0.0f;  // whole KiB per second
    // The speed sample: when it was last taken and the count it saw.
    bool m_sampled = false;
    uint32_t m_sampleTick = 0;
    int64_t m_sampleReceived = 0;
    int m_outcome = EXIT_CANCELLED;
};
