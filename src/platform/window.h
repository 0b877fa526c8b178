// The progress window as the platform drives it. Its logic is portable (WindowEvents);
// the platform runs it: a real dialog on Windows, a terminal front end on POSIX.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

enum class SkinImage { Background, Button, Bar };

struct Size {
    int cx;
    int cy;
};

// What the window's painting draws on.
class Canvas {
public:
    virtual ~Canvas() = default;
    virtual void BitBlt(SkinImage image, int x, int y, int cx, int cy, int srcX, int srcY) = 0;
    virtual void StretchBlt(SkinImage image, int x, int y, int cx, int cy, int srcX, int srcY,
                            int srcCx, int srcCy) = 0;
    virtual void Text(int x, int y, const char* text) = 0;
};

// What the window offers its logic.
class WindowHost {
public:
    virtual ~WindowHost() = default;
    virtual Size ImageSize(SkinImage image) = 0;
    virtual void SetTitle(const char* title) = 0;
    // Sets the window's size, leaving its position.
    virtual void Resize(int cx, int cy) = 0;
    virtual void SetTimer(unsigned id, unsigned periodMs) = 0;
    virtual void KillTimer(unsigned id) = 0;
    // Repaints the whole window.
    virtual void Invalidate() = 0;
    // Asks the window to close (WM_CLOSE); the modal run then ends.
    virtual void Close() = 0;
    // Lets the user drag the window by any point (the window has no caption).
    virtual void StartDrag() = 0;
    // A message box owned by the window.
    virtual int Alert(const char* text, const char* caption, unsigned style) = 0;
};

// The window's logic, called on the UI thread.
class WindowEvents {
public:
    virtual ~WindowEvents() = default;
    virtual bool OnInitDialog(WindowHost& host) = 0;
    virtual void OnTimer(unsigned id) = 0;
    virtual void OnPaint(Canvas& canvas) = 0;
    virtual void OnLButtonDown(int x, int y) = 0;
    virtual void OnMouseMove(int x, int y) = 0;
    virtual void OnDestroy() = 0;
    // What the window shows now as one line of GBK text, for a front end that draws no
    // skin (a terminal) rather than by OnPaint.
    virtual std::string StatusLine() = 0;
};

// Shows the window and runs it modally until it closes. False when no window could be
// made (no desktop to show it on, no room for it).
bool RunWindow(WindowEvents& events);

}  // namespace platform
