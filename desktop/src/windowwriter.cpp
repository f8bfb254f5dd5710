#include "windowwriter.h"

#include <QDir>
#include <QRegularExpression>

#include <cerrno>
#include <unistd.h>

namespace {

// The first byte of a "Content-Range: bytes FIRST-LAST/TOTAL" header, or -1.
qint64 contentRangeStart(const QByteArray &header)
{
    static const QRegularExpression pattern(QStringLiteral("^\\s*bytes\\s+(\\d+)-\\d+/"));
    const QRegularExpressionMatch match = pattern.match(QString::fromLatin1(header));
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

} // namespace

WindowWriter::WindowWriter(
    int fd, const QString &path, qint64 windowStart, qint64 windowLength, qint64 expectedSize)
    : fd(fd)
    , path(path)
    , start(windowStart)
    , length(windowLength)
    , expectedSize(expectedSize)
    , allowance(windowLength)
{
    if (fd < 0)
        failWrite(EBADF);
}

WindowWriter::~WindowWriter()
{
    if (fd >= 0)
        ::close(fd);
}

bool WindowWriter::begin(const HttpResponseHead &head)
{
    const std::lock_guard<std::mutex> guard(lock);
    if (stopped || failedToWrite)
        return false;
    announcedLength = head.contentLength;
    if (head.status == 206
        && contentRangeStart(httpHeaderValue(head.headers, "Content-Range")) == start) {
        decided = Use::Append;
        return true;
    }
    // A server that ignores the range sends the whole file: it replaces what is on disk.
    if (head.status == 200) {
        decided = Use::ReplaceFile;
        start = 0;
        length = expectedSize > 0 ? expectedSize : -1;
        allowance = length;
        if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0) {
            failWrite(errno);
            return false;
        }
        return true;
    }
    decided = Use::Discard;
    // A range other than the one asked for is not worth receiving; an error status ends the
    // response with its error anyway, and its page is dropped.
    if (head.status < 400) {
        why = QStringLiteral("The server sent another part of the file than the one asked for");
        return false;
    }
    return true;
}

bool WindowWriter::take(const char *data, qint64 size)
{
    const std::lock_guard<std::mutex> guard(lock);
    if (stopped || failedToWrite)
        return false;
    if (decided == Use::Discard)
        return true;
    const qint64 n = allowance < 0 ? size : qMin(size, allowance);
    if (n > 0 && !writeAll(data, n))
        return false;
    written += n;
    if (allowance > 0)
        allowance -= n;
    // Waiting for the end of a body that goes on, or that the server announced as longer, only
    // brings bytes that must not reach the file.
    if (n < size || (allowance == 0 && announcedLength > length)) {
        cut = true;
        return false;
    }
    return true;
}

bool WindowWriter::writeAll(const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            failWrite(n < 0 ? errno : ENOSPC);
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

void WindowWriter::failWrite(int error)
{
    failedToWrite = true;
    why = cannotWrite(path, qt_error_string(error));
}

QString WindowWriter::cannotWrite(const QString &path, const QString &reason)
{
    return QStringLiteral("Cannot write %1: %2").arg(QDir::toNativeSeparators(path), reason);
}

void WindowWriter::stop()
{
    const std::lock_guard<std::mutex> guard(lock);
    stopped = true;
}

WindowWriter::Use WindowWriter::use() const
{
    const std::lock_guard<std::mutex> guard(lock);
    return decided;
}

qint64 WindowWriter::windowStart() const
{
    const std::lock_guard<std::mutex> guard(lock);
    return start;
}

qint64 WindowWriter::windowLength() const
{
    const std::lock_guard<std::mutex> guard(lock);
    return length;
}

qint64 WindowWriter::fileBytes() const
{
    const std::lock_guard<std::mutex> guard(lock);
    return start + written;
}

bool WindowWriter::wasCut() const
{
    const std::lock_guard<std::mutex> guard(lock);
    return cut;
}

bool WindowWriter::writeFailed() const
{
    const std::lock_guard<std::mutex> guard(lock);
    return failedToWrite;
}

QString WindowWriter::failure() const
{
    const std::lock_guard<std::mutex> guard(lock);
    return why;
}
