#ifndef CHUNKWRITER_H
#define CHUNKWRITER_H

#include "layouttypes.h"

#include <cstdio>
#include <string>

// Speaks the reader's side of the exchange: each chunk object goes out in one write, and the
// next is written only after the reader has answered the previous one with a line "ACK".
class ChunkWriter
{
public:
    enum Status { Ok, InputClosed, OutputClosed };

    ChunkWriter(std::FILE *out, std::FILE *in);

    // The compact JSON object of one chunk, keys in ascending order.
    static std::string encode(const TextChunk &chunk);

    // Waits for the acknowledgement of the chunk before, then writes this one.
    Status send(const std::string &object);

    // Waits for the acknowledgement of the last chunk written, if any.
    Status finish();

    int written() const { return m_written; }

private:
    Status awaitAck();

    std::FILE *m_out;
    std::FILE *m_in;
    bool m_awaitingAck = false;
    int m_written = 0;
};

#endif // CHUNKWRITER_H
