#ifndef LLMENGINE_H
#define LLMENGINE_H

#include "llmbackend.h"

#include <memory>

// Owns the answer backend; the core replaces the whole engine for another answer model.
class LLMEngine
{
public:
    explicit LLMEngine(std::unique_ptr<LLMBackend> backend);

    void loadModel(const std::string &path, float minP, float temperature);
    std::string generate(const std::vector<ChatTurn> &messages, bool stream,
        const std::function<void(const std::string &)> &onPiece);
    int contextSize() const;
    // The backend that generates, for a look at how it was set up.
    LLMBackend *backendInUse() const { return backend.get(); }

private:
    std::unique_ptr<LLMBackend> backend;
};

#endif // LLMENGINE_H
