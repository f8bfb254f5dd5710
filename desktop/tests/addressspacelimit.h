#ifndef ADDRESSSPACELIMIT_H
#define ADDRESSSPACELIMIT_H

#include <QFile>

#include <sys/resource.h>

// Lets this process map only headroom bytes more than it has mapped now, as `ulimit -v` does,
// until it goes out of scope: a large allocation then fails as it does when memory runs out.
class AddressSpaceLimit
{
public:
    explicit AddressSpaceLimit(qint64 headroom)
    {
        m_set = getrlimit(RLIMIT_AS, &m_old) == 0;
        rlimit limited = m_old;
        limited.rlim_cur = rlim_t(mappedNow() + headroom);
        m_set = m_set && mappedNow() > 0 && setrlimit(RLIMIT_AS, &limited) == 0;
    }
    ~AddressSpaceLimit()
    {
        if (m_set)
            setrlimit(RLIMIT_AS, &m_old);
    }
    AddressSpaceLimit(const AddressSpaceLimit &) = delete;
    AddressSpaceLimit &operator=(const AddressSpaceLimit &) = delete;

    bool isSet() const { return m_set; }

private:
    static qint64 mappedNow()
    {
        QFile status(QStringLiteral("/proc/self/status"));
        if (!status.open(QIODevice::ReadOnly))
            return 0;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmSize:"))
                return line.mid(7).trimmed().split(' ').first().toLongLong() * 1024;
        }
        return 0;
    }

    rlimit m_old {};
    bool m_set = false;
};

#endif // ADDRESSSPACELIMIT_H
