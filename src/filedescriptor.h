#pragma once

#include <cerrno>
#include <cstddef>
#include <unistd.h>

// Owns a POSIX file descriptor and closes it on every way out of the function that opened it.
class FileDescriptor
{
public:
    explicit FileDescriptor(int fd)
        : m_fd(fd)
    {
    }
    ~FileDescriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;

    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }
    // Gives up ownership: the caller closes what it returns.
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    // Closes the one it had and owns fd instead.
    void reset(int fd)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }
    // read(2), tried again when a signal interrupts it: what it gives is data, the end (0) or an error (-1).
    ssize_t read(char *buffer, size_t n) const
    {
        for (;;) {
            const ssize_t got = ::read(m_fd, buffer, n);
            if (got >= 0 || errno != EINTR)
                return got;
        }
    }
    // Writes all n bytes, going on after short writes and signals; false on an error (errno tells which).
    bool writeAll(const char *data, size_t n) const
    {
        while (n > 0) {
            const ssize_t written = ::write(m_fd, data, n);
            if (written < 0 && errno == EINTR)
                continue;
            if (written < 0)
                return false;
            if (written == 0) {
                errno = EIO;
                return false;
            }
            data += written;
            n -= size_t(written);
        }
        return true;
    }
    // Closes now, for the error a full disk may only show here.
    bool close()
    {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0;
    }

private:
    int m_fd;
};
