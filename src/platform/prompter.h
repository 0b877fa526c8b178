// Questions to the user (message boxes) asked from one thread: the run's worker owns
// the prompter and asks its own questions directly; a question from another thread (a
// transfer's) is handed to the owner, and its thread waits for the answer.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace platform {

class Prompter {
public:
    Prompter();
    Prompter(const Prompter&) = delete;
    Prompter& operator=(const Prompter&) = delete;

    // Makes the calling thread the one that asks.
    void Own();
    // A message box (see ShowMessageBox); returns the button pressed. On another thread
    // than the owner's, waits until the owner has asked it.
    int Ask(const char* text, const char* caption, unsigned style);
    // On the owner's thread: asks the questions handed over until `done` holds. `done`
    // is looked at again after each question and after each Wake.
    void ServeUntil(const std::function<bool()>& done);
    // Tells a serving owner to look at its condition again.
    void Wake();

private:
    struct Question {
        std::string text;
        std::string caption;
        bool hasCaption = false;
        unsigned style = 0;
        int answer = 0;
        bool answered = false;
    };

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::thread::id m_owner;
    Question* m_pending = nullptr;  // the one question handed over, at most
};

}  // namespace platform
