// The terminal the Linux updater writes to: the log's lines scroll on standard output,
// and on a terminal one progress line stays below them, redrawn in place. The line is
// cleared before a log line or a question is written and drawn again after it. When
// standard output is not a terminal, only the log's lines are written, as they are.
#pragma once

#include <string>

namespace platform::posix {

// Whether standard output is a terminal (the progress line is drawn only there).
bool ConsoleIsTerminal();
// A log line (UTF-8, with its line end) above the progress line.
void ConsoleWriteLine(const std::string& text);
// The progress line (UTF-8), drawn now and after every log line; cut to the terminal's
// width so that it never wraps. Nothing when standard output is no terminal.
void ConsoleSetStatus(const std::string& text);
// Clears the progress line for good (the run's end).
void ConsoleEndStatus();

// While a question waits for its answer the progress line is not drawn.
class ConsoleQuestion {
public:
    ConsoleQuestion();
    ~ConsoleQuestion();
    ConsoleQuestion(const ConsoleQuestion&) = delete;
    ConsoleQuestion& operator=(const ConsoleQuestion&) = delete;
};

}  // namespace platform::posix
