#ifndef RETRIEVAL_H
#define RETRIEVAL_H

#include "chunkrecord.h"

#include <common.h>

#include <string>
#include <vector>

// The embedding engine: loads the retrieval model and turns texts into unit-length embedding
// vectors (all zeros when the model yields nothing for a text). Not safe for concurrent use.
// Without a loaded model every operation is a safe no-op (see each method).
class Retrieval
{
public:
    // A non-empty `refusal` leaves the engine without a model, for that reason, without
    // loading anything.
    explicit Retrieval(const char *modelPath, const std::string &refusal = std::string());
    ~Retrieval();

    Retrieval(const Retrieval &) = delete;
    Retrieval &operator=(const Retrieval &) = delete;

    // Model and context present, and the model gives one vector per text.
    bool isLoaded() const;
    // Why no model is loaded: the file cannot be loaded or its model cannot embed; empty when
    // one is loaded.
    const std::string &loadProblem() const;

    // Embeds every record whose embedding is not current for its text; the result equals a
    // full pass over all records. Without a model the records are left as they are. Records
    // the model fails on are left without an embedding; returns their documents, each once.
    std::vector<std::string> embed_chunks(std::vector<ChunkRecord> &records);

    // Embedding of one text (cut to fit the model when longer); empty without a model.
    std::vector<float> embed_text(const std::string &text);

    // The `doc` of every document record whose score is within 0.05 of the best, best first;
    // records whose embedding is of another size are passed over; empty without a model.
    std::vector<std::string> get_relevant_docs(
        const std::string &query, const std::vector<ChunkRecord> &store);

    // Embedding size; 0 without a model.
    int get_n_embd() const;

    // Most tokens one text may have, end token included (0 without a model).
    int max_text_tokens() const;

private:
    friend class tst_Retrieval;
    friend class tst_OrchestratorCore;

    std::string embeddingProblem();

    common_params params;
    common_init_result_ptr llama_init;
    llama_model *model = nullptr;
    llama_context *ctx = nullptr;
    int n_embd = 0;
    std::string problem;
};

#endif // RETRIEVAL_H
