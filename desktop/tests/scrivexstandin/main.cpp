// Stands in for scrivex in the ingestion tests. The PDF's file name chooses a misbehaviour or a
// shortcut; every other file goes to the real scrivex of the build, which takes over this process.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <unistd.h>

namespace {

void writeAll(const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            std::exit(4);
        done += size_t(n);
    }
}

void waitForAck()
{
    char ack[4];
    size_t got = 0;
    while (got < sizeof ack) {
        const ssize_t n = ::read(STDIN_FILENO, ack + got, sizeof ack - got);
        if (n <= 0)
            std::exit(5);
        got += size_t(n);
    }
    if (std::memcmp(ack, "ACK\n", 4) != 0)
        std::exit(6);
}

std::string chunk(int n, int page)
{
    return "{\"text\":\"stand-in chunk " + std::to_string(n) + "\",\"page\":" + std::to_string(page)
        + ",\"bbox\":{\"x\":10,\"y\":" + std::to_string(20 * n) + ",\"width\":100,\"height\":12}}";
}

bool startsWith(const std::string &text, const char *prefix)
{
    return text.rfind(prefix, 0) == 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: scrivex PDF-PATH\n");
        return 2;
    }
    std::string name = argv[1];
    name = name.substr(name.find_last_of('/') + 1);

    if (startsWith(name, "crash")) {
        // Two chunks, then a crash: the two are still sent.
        for (int n = 0; n < 2; ++n) {
            writeAll(chunk(n, 0));
            waitForAck();
        }
        std::abort();
    }
    if (startsWith(name, "hang")) {
        writeAll(chunk(0, 0));
        waitForAck();
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(1));
    }
    if (startsWith(name, "fail")) {
        std::fprintf(stderr, "scrivex: cannot read %s\n", argv[1]);
        return 3;
    }
    if (startsWith(name, "split")) {
        // One object cut over two writes, then two objects in one write: three ACKs are owed.
        const std::string first = chunk(0, 0);
        writeAll(first.substr(0, first.size() / 2));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        writeAll(first.substr(first.size() / 2));
        waitForAck();
        writeAll(chunk(1, 0) + chunk(2, 0));
        waitForAck();
        waitForAck();
        return 0;
    }

    if (startsWith(name, "rewritten")) {
        // The file is saved anew while it is read: the chunks are those of other bytes.
        writeAll(chunk(0, 0));
        waitForAck();
        if (std::FILE *file = std::fopen(argv[1], "wb")) {
            std::fputs("%PDF-1.4\n% saved again by another program\n", file);
            std::fclose(file);
        }
        writeAll(chunk(1, 0));
        waitForAck();
        return 0;
    }
    if (startsWith(name, "quick")) {
        // One chunk for the whole file: for tests about the desktop's side of many documents.
        writeAll(chunk(0, 0));
        waitForAck();
        return 0;
    }

    const char *binDir = std::getenv("QUORVANE_BIN_DIR");
    if (!binDir) {
        std::fprintf(stderr, "scrivex stand-in: QUORVANE_BIN_DIR is not set\n");
        return 7;
    }
    const std::string real = std::string(binDir) + "/scrivex/scrivex";
    ::execl(real.c_str(), real.c_str(), argv[1], static_cast<char *>(nullptr));
    std::perror(real.c_str());
    return 8;
}
