#include "popplerdiagnostics.h"

#include <poppler-global.h>

namespace {

thread_local PopplerDiagnostics::Capture *currentCapture = nullptr;

// A damaged file can repeat the same complaint for every object: keep enough to explain.
constexpr std::size_t MaxMessages = 20;

} // namespace

void PopplerDiagnostics::install()
{
    poppler::set_debug_error_function(&PopplerDiagnostics::receive, nullptr);
}

void PopplerDiagnostics::receive(const std::string &message, void *)
{
    if (currentCapture && currentCapture->m_messages.size() < MaxMessages)
        currentCapture->m_messages.push_back(message);
}

PopplerDiagnostics::Capture::Capture()
    : m_previous(currentCapture)
{
    currentCapture = this;
}

PopplerDiagnostics::Capture::~Capture()
{
    currentCapture = m_previous;
}
