#include "ByteSink.h"

#include "EngineError.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace table {

void MemorySink::write(const void *data, std::size_t n)
{
    const auto *p = static_cast<const std::uint8_t *>(data);
    bytes.insert(bytes.end(), p, p + n);
}

FileSink::FileSink(int fd, std::string_view pathForMessages) : m_fd(fd), m_path(pathForMessages)
{
    m_buffer.reserve(kChunk);
}

void FileSink::write(const void *data, std::size_t n)
{
    const auto *p = static_cast<const std::uint8_t *>(data);
    while (n > 0) {
        const std::size_t take = std::min(n, kChunk - m_buffer.size());
        m_buffer.insert(m_buffer.end(), p, p + take);
        p += take;
        n -= take;
        if (m_buffer.size() == kChunk)
            flush();
    }
}

void FileSink::flush()
{
    if (m_buffer.empty())
        return;
    const std::uint8_t *p = m_buffer.data();
    std::size_t left = m_buffer.size();
    while (left > 0) {
        const ssize_t put =
            ::pwrite(m_fd, p, left, static_cast<off_t>(m_offset + (p - m_buffer.data())));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            throw EngineError("cannot write \"" + m_path +
                              "\": " + std::strerror(put < 0 ? errno : EIO));
        p += put;
        left -= static_cast<std::size_t>(put);
    }
    m_offset += m_buffer.size();
    m_buffer.clear();
}

} // namespace table
