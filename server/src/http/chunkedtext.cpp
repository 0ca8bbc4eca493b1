#include "http/chunkedtext.h"

#include "http/httpmessage.h"

#include <algorithm>
#include <cstring>

namespace tvr::server {

char *ChunkedText::reserve(size_t n)
{
    if (m_blocks.empty() || m_blocks.back().capacity - m_blocks.back().used < n) {
        const size_t capacity = std::max(BlockSize, n);
        m_blocks.push_back({std::make_unique_for_overwrite<char[]>(capacity), capacity, 0});
    }
    Block &last = m_blocks.back();
    return last.data.get() + last.used;
}

void ChunkedText::commit(const char *end)
{
    Block &last = m_blocks.back();
    const size_t used = size_t(end - last.data.get());
    m_size += qint64(used - last.used);
    last.used = used;
}

void ChunkedText::append(std::string_view text)
{
    if (text.empty())
        return; // its data may be null
    char *to = reserve(text.size());
    std::memcpy(to, text.data(), text.size());
    commit(to + text.size());
}

size_t ChunkedText::read(quint64 offset, char *buffer, size_t max) const
{
    if (offset < m_readBlockStart) {
        m_readBlock = 0;
        m_readBlockStart = 0;
    }
    size_t copied = 0;
    while (copied < max && m_readBlock < m_blocks.size()) {
        const size_t length = m_blocks[m_readBlock].used;
        if (offset >= m_readBlockStart + length) {
            m_readBlockStart += length;
            ++m_readBlock;
            continue;
        }
        const size_t from = size_t(offset - m_readBlockStart);
        const size_t n = std::min(max - copied, length - from);
        std::memcpy(buffer + copied, m_blocks[m_readBlock].data.get() + from, n);
        copied += n;
        offset += n;
    }
    return copied;
}

std::string ChunkedText::toString() const
{
    std::string text(size_t(m_size), '\0');
    read(0, text.data(), text.size());
    return text;
}

void ChunkedText::answer(http::Response &res, std::shared_ptr<const ChunkedText> text, std::string type)
{
    const qint64 length = text->size();
    res.setProducer(length, std::move(type), [text = std::move(text)](quint64 offset, char *buffer, size_t max) {
        return qint64(text->read(offset, buffer, max));
    });
}

} // namespace tvr::server
