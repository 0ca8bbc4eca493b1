#include "http/chunkedtext.h"

#include "http/httpmessage.h"

#include <algorithm>
#include <cstring>

namespace tvr::server {

char *ChunkedText::reserve(size_t n)
{
    if (m_blocks.empty() || m_blocks.back().size() - m_used < n) {
        if (!m_blocks.empty())
            m_blocks.back().resize(m_used);
        m_blocks.emplace_back();
        // resize() rather than reserve(): the bytes are written through a pointer.
        m_blocks.back().resize(std::max(BlockSize, n));
        m_used = 0;
    }
    return m_blocks.back().data() + m_used;
}

void ChunkedText::commit(const char *end)
{
    const size_t used = size_t(end - m_blocks.back().data());
    m_size += qint64(used - m_used);
    m_used = used;
}

void ChunkedText::append(std::string_view text)
{
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
        const size_t length = m_readBlock + 1 == m_blocks.size() ? m_used : m_blocks[m_readBlock].size();
        if (offset >= m_readBlockStart + length) {
            m_readBlockStart += length;
            ++m_readBlock;
            continue;
        }
        const size_t from = size_t(offset - m_readBlockStart);
        const size_t n = std::min(max - copied, length - from);
        std::memcpy(buffer + copied, m_blocks[m_readBlock].data() + from, n);
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
