#include "ByteSource.h"

#include "EngineError.h"
#include "LockedFile.h"

#include <algorithm>
#include <cstring>

namespace table {

namespace {

void checkRange(std::uint64_t offset, std::size_t n, std::uint64_t size)
{
    if (offset > size || n > size - offset)
        throw EngineError("damaged table: the file ends early");
}

} // namespace

void MemorySource::read(std::uint64_t offset, void *dst, std::size_t n)
{
    checkRange(offset, n, m_size);
    if (n)
        std::memcpy(dst, m_data + offset, n);
}

FileSource::FileSource(const LockedFile &file) : m_file(file), m_size(file.size()) {}

void FileSource::read(std::uint64_t offset, void *dst, std::size_t n)
{
    checkRange(offset, n, m_size);
    if (n > kReadAhead) {
        m_file.readAt(offset, dst, n);
        return;
    }
    if (offset < m_bufferOffset || offset + n > m_bufferOffset + m_buffer.size()) {
        const auto len =
            static_cast<std::size_t>(std::min<std::uint64_t>(kReadAhead, m_size - offset));
        m_buffer.resize(len);
        m_file.readAt(offset, m_buffer.data(), len);
        m_bufferOffset = offset;
    }
    std::memcpy(dst, m_buffer.data() + (offset - m_bufferOffset), n);
}

} // namespace table
