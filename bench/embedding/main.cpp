// Times one embed_chunks pass over the lines of a text file, or writes such a file.
//   bench-embedding --write-texts <file> <count>
//   bench-embedding <model.gguf> <texts file>
// Prints "tokens <n> seconds <s>" for the pass; the tokens are counted with the model's own
// vocabulary outside the timed part.

#include "llamaruntime.h"
#include "retrieval.h"

#include <common.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Common English words that are whole pieces of a BERT WordPiece vocabulary, so a line of N
// words is N + 2 tokens.
const char *const wordList
    = "time people year way day man thing woman life child world school state family student "
      "group country problem hand part place case week company system program question work "
      "government number night point home water room mother area money story fact month lot "
      "right study book eye job word business issue side kind head house service friend father "
      "power hour game line end member law car city community name president team minute idea "
      "kid body information back parent face others level office door health person art war "
      "history party result change morning reason research girl guy moment air teacher force "
      "education";

std::vector<std::string> splitWords()
{
    std::vector<std::string> result;
    std::istringstream in(wordList);
    for (std::string word; in >> word;)
        result.push_back(word);
    return result;
}

int writeTexts(const char *path, int count)
{
    std::ofstream out(path);
    const std::vector<std::string> words = splitWords();
    unsigned state = 20240601u;
    const size_t n = words.size();
    for (int line = 0; line < count; ++line) {
        const int length = 178 + line % 41; // 180 to 220 tokens with [CLS] and [SEP]
        for (int w = 0; w < length; ++w) {
            state = state * 1664525u + 1013904223u;
            out << words[(state >> 8) % n] << (w + 1 < length ? " " : "\n");
        }
    }
    return out ? 0 : 1;
}

long long countTokens(const char *modelPath, const std::vector<std::string> &texts)
{
    llama_model_params params = llama_model_default_params();
    params.vocab_only = true;
    llama_model *model = llama_model_load_from_file(modelPath, params);
    if (!model)
        return -1;
    const llama_vocab *vocab = llama_model_get_vocab(model);
    long long total = 0;
    for (const std::string &text : texts)
        total += (long long)common_tokenize(vocab, text, true, false).size();
    llama_model_free(model);
    return total;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::string(argv[1]) == "--write-texts")
        return writeTexts(argv[2], std::stoi(argv[3]));
    if (argc != 3) {
        std::cerr << "usage: bench-embedding <model.gguf> <texts file>\n"
                     "       bench-embedding --write-texts <file> <count>\n";
        return 2;
    }

    std::vector<ChunkRecord> records;
    std::vector<std::string> texts;
    {
        std::ifstream in(argv[2]);
        for (std::string line; std::getline(in, line);) {
            if (line.empty())
                continue;
            texts.push_back(line);
            ChunkRecord record;
            record.text = line;
            records.push_back(std::move(record));
        }
    }

    int status = 0;
    {
        Retrieval retrieval(argv[1]);
        if (!retrieval.isLoaded()) {
            std::cerr << "cannot load " << argv[1] << "\n";
            status = 1;
        } else {
            const long long tokens = countTokens(argv[1], texts);
            const auto start = std::chrono::steady_clock::now();
            retrieval.embed_chunks(records);
            const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
            std::printf("tokens %lld seconds %.3f\n", tokens, seconds.count());
        }
    }
    freeLlamaRuntime();
    return status;
}
