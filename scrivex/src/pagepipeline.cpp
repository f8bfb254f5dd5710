#include "pagepipeline.h"

#include "chunkwriter.h"
#include "documentloader.h"
#include "pageextractor.h"
#include "popplerdiagnostics.h"

#include <poppler-document.h>
#include <poppler-page.h>

#include <algorithm>
#include <cstdlib>

namespace {

constexpr int DefaultMaxWorkers = 4;
constexpr int PagesAheadPerWorker = 4;

} // namespace

PagePipeline::PagePipeline(const DocumentLoader &loader,
    std::unique_ptr<poppler::document> document, int pageCount, int workers)
    : m_loader(loader)
    , m_pageCount(pageCount)
    , m_window(std::max(1, workers) * PagesAheadPerWorker)
    , m_results(pageCount)
{
    m_threads.emplace_back(&PagePipeline::work, this, std::move(document));
    for (int i = 1; i < workers; ++i)
        m_threads.emplace_back(&PagePipeline::work, this, nullptr);
}

PagePipeline::~PagePipeline()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_consumed.notify_all();
    for (std::thread &thread : m_threads)
        thread.join();
}

int PagePipeline::workersFor(int pageCount)
{
    int workers = 0;
    if (const char *wanted = std::getenv("SCRIVEX_THREADS"))
        workers = std::atoi(wanted);
    if (workers <= 0)
        workers
            = std::min<int>(DefaultMaxWorkers, std::max(1u, std::thread::hardware_concurrency()));
    return std::clamp(workers, 1, std::max(1, std::min(pageCount, 64)));
}

PageResult PagePipeline::take(int index)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_produced.wait(lock, [this, index] { return m_results[index].has_value(); });
    PageResult result = std::move(*m_results[index]);
    m_results[index].reset();
    m_taken = index + 1;
    lock.unlock();
    m_consumed.notify_all();
    return result;
}

void PagePipeline::work(std::unique_ptr<poppler::document> document)
{
    if (!document) {
        PopplerDiagnostics::Capture quiet;
        document = m_loader.reopen();
        // The bytes were opened once already; if poppler refuses them now, the other workers
        // share this one's pages.
        if (!document || document->is_locked())
            return;
    }
    for (;;) {
        int index;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_consumed.wait(lock, [this] {
                return m_stopping || m_nextToExtract >= m_pageCount
                    || m_nextToExtract < m_taken + m_window;
            });
            if (m_stopping || m_nextToExtract >= m_pageCount)
                return;
            index = m_nextToExtract++;
        }

        PageResult result;
        {
            PopplerDiagnostics::Capture capture;
            std::unique_ptr<poppler::page> page(document->create_page(index));
            if (page) {
                for (const TextChunk &chunk : PageExtractor::extract(*page, index))
                    result.chunks.push_back(ChunkWriter::encode(chunk));
            } else {
                result.unreadable = true;
            }
            result.problems = capture.messages();
        }

        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_results[index] = std::move(result);
        }
        m_produced.notify_all();
    }
}
