#pragma once

#include <exception>
#include <string>

// Failure of the cryptographic library or of its set-up; what() is the text the user gets to see.
class crypt_exception : public std::exception
{
public:
    explicit crypt_exception(std::string text)
        : m_text(std::move(text))
    {
    }
    const char *what() const noexcept override { return m_text.c_str(); }

private:
    std::string m_text;
};
