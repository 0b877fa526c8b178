#include "platform/prompter.h"

#include "platform/message.h"

namespace platform {

Prompter::Prompter() : m_owner(std::this_thread::get_id()) {}

void Prompter::Own() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_owner = std::this_thread::get_id();
}

int Prompter::Ask(const char* text, const char* caption, unsigned style) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (std::this_thread::get_id() == m_owner) {
        lock.unlock();
        return ShowMessageBox(text, caption, style);
    }
    Question question;
    question.text = text;
    question.hasCaption = caption != nullptr;
    if (caption) question.caption = caption;
    question.style = style;
    // One question at a time: a second asker waits for the first to be answered.
    m_changed.wait(lock, [this] { return m_pending == nullptr; });
    m_pending = &question;
    m_changed.notify_all();
    m_changed.wait(lock, [&question] { return question.answered; });
    m_pending = nullptr;
    m_changed.notify_all();
    return question.answer;
}

void Prompter::ServeUntil(const std::function<bool()>& done) {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        if (m_pending && !m_pending->answered) {
            Question* question = m_pending;
            lock.unlock();
            const int answer = ShowMessageBox(
                question->text.c_str(), question->hasCaption ? question->caption.c_str() : nullptr,
                question->style);
            lock.lock();
            question->answer = answer;
            question->answered = true;
            m_changed.notify_all();
            continue;
        }
        if (done()) return;
        m_changed.wait(lock);
    }
}

void Prompter::Wake() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_changed.notify_all();
}

}  // namespace platform
