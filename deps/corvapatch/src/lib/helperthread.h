#pragma once

#include <system_error>
#include <thread>
#include <utility>

namespace corvapatch {

// Work on a thread of its own when one can be had, joined however the scope is left. When none can be had,
// Started() is false and the caller does the work itself.
class HelperThread
{
public:
    template <typename Work>
    explicit HelperThread(Work work)
    {
        try {
            m_thread = std::thread(std::move(work));
            m_started = true;
        } catch (const std::system_error &) {
        }
    }
    ~HelperThread() { Join(); }
    HelperThread(const HelperThread &) = delete;
    HelperThread &operator=(const HelperThread &) = delete;

    bool Started() const { return m_started; }
    // Waits for the work to end; what it wrote may be read afterwards.
    void Join()
    {
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    std::thread m_thread;
    bool m_started = false;
};

} // namespace corvapatch
