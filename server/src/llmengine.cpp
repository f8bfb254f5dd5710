#include "llmengine.h"

LLMEngine::LLMEngine(std::unique_ptr<LLMBackend> backend)
    : backend(std::move(backend))
{ }

void LLMEngine::loadModel(const std::string &path, float minP, float temperature)
{
    backend->loadModel(path, minP, temperature);
}

std::string LLMEngine::generate(const std::vector<ChatTurn> &messages, bool stream,
    const std::function<void(const std::string &)> &onPiece)
{
    return backend->generate(messages, stream, onPiece);
}

int LLMEngine::contextSize() const
{
    return backend->contextSize();
}
