#pragma once

#include <QtGlobal>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tvr::server {

namespace http {
struct Response;
}

// A large answer written in blocks of about a megabyte instead of one growing string: the text
// is never moved to a larger buffer, its memory is touched once, and a 22 MB listing needs
// 22 MB, not the 48 MB of a string doubling past it. Writers ask for room for the most they
// could write (reserve), write through the pointer and say where they ended (commit).
class ChunkedText final
{
public:
    static constexpr size_t BlockSize = 1 << 20;

    // Room for `n` contiguous bytes at the end of the text; valid until the next call.
    char *reserve(size_t n);
    // The bytes up to `end` (within the last reserve) belong to the text.
    void commit(const char *end);
    void append(std::string_view text);
    qint64 size() const { return m_size; }
    // Up to `max` bytes from `offset` into `buffer`; how many were copied (0 past the end).
    // Sequential reads find their block at once.
    size_t read(quint64 offset, char *buffer, size_t max) const;
    // The whole text in one string (small texts, tests).
    std::string toString() const;

    // Sends `text` as the answer's body, of known length, straight from its blocks.
    static void answer(http::Response &res, std::shared_ptr<const ChunkedText> text, std::string type);

private:
    struct Block
    {
        std::unique_ptr<char[]> data; // not zeroed: every byte read was written first
        size_t capacity = 0;
        size_t used = 0;
    };
    std::vector<Block> m_blocks;
    qint64 m_size = 0;
    mutable size_t m_readBlock = 0; // where the last read ended
    mutable quint64 m_readBlockStart = 0;
};

} // namespace tvr::server
