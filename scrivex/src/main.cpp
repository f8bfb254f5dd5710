// scrivex PDF-PATH: prints the passages of a PDF as JSON chunk objects, one per write on
// standard output, each after the reader acknowledged the one before with "ACK\n" on standard
// input. Diagnostics go to standard error.

#include "chunkwriter.h"
#include "documentloader.h"
#include "pagepipeline.h"
#include "popplerdiagnostics.h"

#include <poppler-document.h>

#include <csignal>
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

enum ExitCode {
    Done = 0,
    Usage = 1,
    Unreadable = 2,
    ReaderGone = 3,
    Damaged = 4,
};

// Room for the largest chunk object, so that each one leaves in a single write.
constexpr std::size_t OutputBufferSize = 1 << 16;

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: scrivex PDF-PATH\n");
        return Usage;
    }
    const std::string path = argv[1];

#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stdin), _O_BINARY);
#else
    // A reader that goes away must end the program through a failed write, not a signal.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    static char outputBuffer[OutputBufferSize];
    std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);

    PopplerDiagnostics::install();
    std::string error;
    DocumentLoader loader;
    std::unique_ptr<poppler::document> document = loader.open(path, error);
    if (!document) {
        std::fprintf(stderr, "scrivex: %s %s\n", path.c_str(), error.c_str());
        return Unreadable;
    }

    const int pageCount = document->pages();
    PagePipeline pipeline(
        loader, std::move(document), pageCount, PagePipeline::workersFor(pageCount));
    ChunkWriter writer(stdout, stdin);
    int damagedPages = 0;
    std::string firstProblem;
    for (int page = 0; page < pageCount; ++page) {
        PageResult result = pipeline.take(page);
        if (result.unreadable || !result.problems.empty()) {
            ++damagedPages;
            if (result.unreadable)
                std::fprintf(
                    stderr, "scrivex: %s: page %d cannot be read\n", path.c_str(), page + 1);
            if (firstProblem.empty() && !result.problems.empty())
                firstProblem = result.problems.front();
        }
        for (const std::string &chunk : result.chunks) {
            const ChunkWriter::Status status = writer.send(chunk);
            if (status == ChunkWriter::InputClosed) {
                std::fprintf(stderr,
                    "scrivex: standard input closed before ACK of chunk %d; "
                    "stopping\n",
                    writer.written());
                return ReaderGone;
            }
            if (status == ChunkWriter::OutputClosed) {
                std::fprintf(stderr, "scrivex: standard output closed; stopping\n");
                return ReaderGone;
            }
        }
    }
    // The reader may close its side instead of acknowledging the last chunk: all was sent.
    writer.finish();

    if (damagedPages > 0) {
        std::fprintf(stderr, "scrivex: %s is damaged: %d of %d pages could not be read fully%s%s\n",
            path.c_str(), damagedPages, pageCount, firstProblem.empty() ? "" : "; ",
            firstProblem.c_str());
        return Damaged;
    }
    if (writer.written() == 0)
        std::fprintf(stderr, "scrivex: %s has no text\n", path.c_str());
    return Done;
}
