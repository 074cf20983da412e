#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

namespace corvapatch {

// Storage for many small objects that all die together: a program's instructions and labels. Objects are
// placed one after another in blocks of kBlockSize bytes, and the blocks are freed at once without running
// destructors, so only objects that hold no resources of their own may live here. A disassembly makes one
// object per reference and per literal run; one heap allocation each would cost more than the disassembly.
// Nothing throws: a failed allocation returns nullptr.
class ObjectArena
{
public:
    static constexpr size_t kBlockSize = 256 * 1024;

    ObjectArena() = default;
    ~ObjectArena()
    {
        while (m_current) {
            uint8_t *previous = *reinterpret_cast<uint8_t **>(m_current);
            std::free(m_current);
            m_current = previous;
        }
    }
    ObjectArena(const ObjectArena &) = delete;
    ObjectArena &operator=(const ObjectArena &) = delete;

    template <typename T, typename... Args>
    T *Make(Args &&...args)
    {
        static_assert(sizeof(T) <= kBlockSize - kHeader && alignof(T) <= alignof(std::max_align_t),
                      "does not fit a block");
        void *place = Allocate(sizeof(T), alignof(T));
        return place ? new (place) T(std::forward<Args>(args)...) : nullptr;
    }

private:
    // Every block starts with the address of the block before it, so the blocks need no list of their own.
    static constexpr size_t kHeader = alignof(std::max_align_t);

    void *Allocate(size_t size, size_t alignment)
    {
        size_t at = (m_used + alignment - 1) & ~(alignment - 1);
        if (!m_current || at > kBlockSize || size > kBlockSize - at) {
            auto *block = static_cast<uint8_t *>(std::malloc(kBlockSize));
            if (!block)
                return nullptr;
            *reinterpret_cast<uint8_t **>(block) = m_current;
            m_current = block;
            at = kHeader;
        }
        m_used = at + size;
        return m_current + at;
    }

    uint8_t *m_current = nullptr;
    size_t m_used = 0;
};

} // namespace corvapatch
