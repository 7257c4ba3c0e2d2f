#pragma once

#include <QByteArray>

#include <string>

// The serial line the frames go out on: a pseudo-terminal of our own or a given device, raw at
// 2400 baud, 8N1. Writing never blocks: a reader that comes late or falls behind sees live
// frames, not a backlog of old ones.
class SerialLine
{
public:
    SerialLine() = default;
    SerialLine(const SerialLine &) = delete;
    SerialLine &operator=(const SerialLine &) = delete;
    ~SerialLine() { close(); }

    // On a pseudo-terminal of our own we keep the reader's end open as well: the line then
    // stays up and raw while readers come and go, and its input queue shows how far behind
    // the reader is.
    bool openPseudoTerminal();
    bool openDevice(const std::string &path);
    const std::string &path() const { return m_path; }

    // Bytes sent but not yet read, where the line can tell; 0 where it cannot.
    int backlog() const;

    enum class Sent
    {
        Whole,
        Dropped,
        Failed
    };

    // A frame that would take the backlog over `maxBacklog` bytes, or that does not fit, is
    // dropped: the reader finds the next frame at its carriage return.
    Sent send(const QByteArray &frame, int maxBacklog);

    // Waits (a second at most) for the reader to take what was sent.
    void drain();

    // Both ends closed: a reader sees the line hang up, as when a USB adapter is pulled.
    void close();

private:
    int m_fd = -1;
    int m_readerEnd = -1;
    std::string m_path;
};

// A symbolic link kept to the line, as udev keeps a stable name for a USB serial adapter. It is
// removed on unplugging and when the simulator ends; only a link this run made is removed.
class LineLink
{
public:
    explicit LineLink(std::string path) : m_path(std::move(path)) {}
    LineLink(const LineLink &) = delete;
    LineLink &operator=(const LineLink &) = delete;
    ~LineLink() { remove(); }

    // Points the link at `target` in one rename, so a reader never finds the name missing or
    // half made. True without a link to keep.
    bool pointAt(const std::string &target);
    void remove();

private:
    std::string m_path;
    bool m_made = false;
};
