#ifndef POPPLERDIAGNOSTICS_H
#define POPPLERDIAGNOSTICS_H

#include <string>
#include <vector>

// poppler reports what it cannot read only through one process-wide callback. This routes each
// message to the capture open on the thread that caused it, so a load failure or a damaged
// page can be explained; messages with no capture open are dropped rather than printed.
class PopplerDiagnostics
{
public:
    static void install();

    class Capture
    {
    public:
        Capture();
        ~Capture();
        Capture(const Capture &) = delete;
        Capture &operator=(const Capture &) = delete;

        const std::vector<std::string> &messages() const { return m_messages; }

    private:
        friend class PopplerDiagnostics;
        std::vector<std::string> m_messages;
        Capture *m_previous;
    };

private:
    static void receive(const std::string &message, void *closure);
};

#endif // POPPLERDIAGNOSTICS_H
