#ifndef PAGEPIPELINE_H
#define PAGEPIPELINE_H

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class DocumentLoader;

namespace poppler {
class document;
}

// What one page yields: its chunk objects, encoded, and what went wrong reading it.
struct PageResult
{
    std::vector<std::string> chunks;
    bool unreadable = false;
    std::vector<std::string> problems;
};

// Extracts pages on worker threads and hands them out in page order. poppler's documents are
// not shared between threads, so each worker opens its own over the bytes the loader read; a
// worker stays a bounded number of pages ahead of the reader, so a slow reader does not pile up
// a whole document.
class PagePipeline
{
public:
    // `document` is the loader's first document; the loader must outlive the pipeline.
    PagePipeline(const DocumentLoader &loader, std::unique_ptr<poppler::document> document,
        int pageCount, int workers);
    ~PagePipeline();
    PagePipeline(const PagePipeline &) = delete;
    PagePipeline &operator=(const PagePipeline &) = delete;

    // Blocks until page `index` is done; pages are taken once each, in order.
    PageResult take(int index);

    // Worker threads used for a document: SCRIVEX_THREADS when set, else a few cores.
    static int workersFor(int pageCount);

private:
    void work(std::unique_ptr<poppler::document> document);

    const DocumentLoader &m_loader;
    const int m_pageCount;
    const int m_window;
    std::mutex m_mutex;
    std::condition_variable m_produced;
    std::condition_variable m_consumed;
    std::vector<std::optional<PageResult>> m_results;
    int m_nextToExtract = 0;
    int m_taken = 0;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};

#endif // PAGEPIPELINE_H
