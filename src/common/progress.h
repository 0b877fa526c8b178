// What the window shows of a run: its state and its counters, taken together at one
// moment. The run fills it in; the window (and the terminal front end) only read it.
#pragma once

#include <cstdint>
#include <string>

enum class RunStatus { Running, Finished, Failed };

struct Progress {
    RunStatus status = RunStatus::Running;
    // The file the window's first bar shows (the earliest started of those in transfer).
    std::string fileName;
    uint64_t fileSize = 0;
    uint64_t fileReceived = 0;
    // The whole update: the bytes of every file to fetch, and those arrived so far.
    int64_t totalSize = 0;
    int64_t totalReceived = 0;
    // Whole KiB per second, as the window samples it (the run leaves it 0).
    float speed = 0.0f;
};

// A run as the window sees it.
class ProgressSource {
public:
    virtual ~ProgressSource() = default;
    virtual Progress Snapshot() const = 0;
    // Asks the run to stop at its next safe point; returns at once.
    virtual void Stop() = 0;
    // Once it has finished: starts the lobby it verified ("A" its parameter); false when
    // there is none to start.
    virtual bool StartLobby() = 0;
};
