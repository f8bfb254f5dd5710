#ifndef WINDOWWRITER_H
#define WINDOWWRITER_H

#include "httpconnection.h"

#include <QString>

#include <mutex>

// Writes one ranged response of a model download to the model file, on the connection's thread:
// the bytes of the window asked for are appended, a whole file sent instead replaces what the
// file held, and anything else (another range, an error page, bytes past the window) never
// reaches the file. Read its outcome once its GET has finished or was stopped.
class WindowWriter : public HttpBodySink
{
public:
    // How the response is taken, decided by its status line.
    enum class Use { Undecided, Append, ReplaceFile, Discard };

    // Takes fd, a descriptor of the open model file, and closes it when done. windowLength is
    // -1 when the rest of a file of unknown size was asked for.
    WindowWriter(
        int fd, const QString &path, qint64 windowStart, qint64 windowLength, qint64 expectedSize);
    ~WindowWriter() override;

    // How a model file that cannot be written is told.
    static QString cannotWrite(const QString &path, const QString &reason);

    bool begin(const HttpResponseHead &head) override;
    bool take(const char *data, qint64 size) override;
    void stop() override;

    Use use() const;
    // Where the window started in the file: 0 once a whole file replaced it.
    qint64 windowStart() const;
    qint64 windowLength() const;
    // The file's size by what was written: the window's start and its bytes written so far.
    qint64 fileBytes() const;
    // The server sent more than the window: the rest was dropped and the GET ended.
    bool wasCut() const;
    bool writeFailed() const;
    // Why the window was given up, in words; empty when it was not.
    QString failure() const;

private:
    bool writeAll(const char *data, qint64 size);
    void failWrite(int error);

    mutable std::mutex lock;
    int fd;
    QString path;
    qint64 start;
    qint64 length;
    qint64 expectedSize;
    // Bytes the window may still write; -1 when unknown.
    qint64 allowance;
    qint64 announcedLength = -1;
    qint64 written = 0;
    Use decided = Use::Undecided;
    bool stopped = false;
    bool cut = false;
    bool failedToWrite = false;
    QString why;
};

#endif // WINDOWWRITER_H
