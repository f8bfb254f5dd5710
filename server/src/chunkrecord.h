#ifndef CHUNKRECORD_H
#define CHUNKRECORD_H

#include <llama.h>

#include <cstdint>
#include <string>
#include <vector>

// One record of the server's chunk store: a text chunk from the client (Original) or the
// per-document record the server adds for each document (FileName).
struct ChunkRecord
{
    enum Kind : int32_t { Original = 0, FileName = 1 };

    std::vector<llama_token> tokens; // scratch of an embedding pass, empty outside it
    std::vector<float> embedding;
    double height = 0;
    double width = 0;
    double x = 0;
    double y = 0;
    std::string doc;
    int32_t index = 0;
    int32_t page = 0;
    std::string text;
    int32_t kind = Original;
    // True only when `embedding` was made by the embedding pass from the current `text`; lets
    // the pass after each "chunks" request skip records it has already embedded. Whoever sets
    // an embedding from any other text, or changes `text`, leaves or sets it false.
    bool embeddingCurrent = false;
};

#endif // CHUNKRECORD_H
