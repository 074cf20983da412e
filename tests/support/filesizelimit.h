#pragma once

#include <csignal>
#include <sys/resource.h>

// While it exists, no file of this process can grow past bytes: a write beyond fails with EFBIG instead of
// raising SIGXFSZ. Forces a write failure in the middle of a file without a full disk, also as root.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &m_saved);
        m_savedHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_saved;
        limit.rlim_cur = bytes;
        m_active = setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_savedHandler);
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

    bool active() const { return m_active; }

private:
    rlimit m_saved {};
    void (*m_savedHandler)(int) = SIG_DFL;
    bool m_active = false;
};
