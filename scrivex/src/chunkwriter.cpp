#include "chunkwriter.h"

#include "unicodetext.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

void appendNumber(std::string &out, double value)
{
    // JSON has no NaN or infinity: NaN is written as 0 and an infinity as the largest double of
    // its sign, so that the object stays readable whatever poppler computed.
    if (std::isnan(value))
        value = 0;
    else if (std::isinf(value))
        value = std::copysign(std::numeric_limits<double>::max(), value);

    // Hundredths of a point are finer than any highlight needs. A value too long for that in
    // the buffer is written in the shortest form that reads back exactly (1e+35), which JSON
    // also allows; to_chars never writes past the end it is given, and no locale touches it.
    char buffer[32];
    std::to_chars_result written
        = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 2);
    if (written.ec != std::errc()) {
        written = std::to_chars(buffer, buffer + sizeof buffer, value);
        out.append(buffer, written.ptr);
        return;
    }
    std::size_t n = written.ptr - buffer;
    while (buffer[n - 1] == '0')
        --n;
    if (buffer[n - 1] == '.')
        --n;
    if (n == 2 && std::strncmp(buffer, "-0", 2) == 0) {
        out += '0';
        return;
    }
    out.append(buffer, n);
}

} // namespace

ChunkWriter::ChunkWriter(std::FILE *out, std::FILE *in)
    : m_out(out)
    , m_in(in)
{ }

std::string ChunkWriter::encode(const TextChunk &chunk)
{
    std::string json;
    json.reserve(chunk.text.size() + 96);
    json += "{\"bbox\":{\"height\":";
    appendNumber(json, chunk.box.height());
    json += ",\"width\":";
    appendNumber(json, chunk.box.width());
    json += ",\"x\":";
    appendNumber(json, chunk.box.x0);
    json += ",\"y\":";
    appendNumber(json, chunk.box.y0);
    json += "},\"page\":";
    json += std::to_string(chunk.page);
    json += ",\"text\":\"";
    UnicodeText::appendJsonEscaped(json, chunk.text);
    json += "\"}";
    return json;
}

ChunkWriter::Status ChunkWriter::send(const std::string &object)
{
    if (m_awaitingAck) {
        const Status status = awaitAck();
        if (status != Ok)
            return status;
    }
    // The stream is fully buffered with room for any chunk, so the flush is one write.
    if (std::fwrite(object.data(), 1, object.size(), m_out) != object.size()
        || std::fflush(m_out) != 0)
        return OutputClosed;
    m_awaitingAck = true;
    ++m_written;
    return Ok;
}

ChunkWriter::Status ChunkWriter::finish()
{
    return m_awaitingAck ? awaitAck() : Ok;
}

ChunkWriter::Status ChunkWriter::awaitAck()
{
    std::string line;
    for (;;) {
        const int c = std::getc(m_in);
        if (c == EOF)
            return InputClosed;
        if (c != '\n') {
            if (line.size() < 64)
                line += char(c);
            continue;
        }
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line == "ACK") {
            m_awaitingAck = false;
            return Ok;
        }
        std::fprintf(
            stderr, "scrivex: ignoring input \"%s\" while waiting for ACK\n", line.c_str());
        line.clear();
    }
}
