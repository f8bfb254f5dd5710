#ifndef LLMBACKEND_H
#define LLMBACKEND_H

#include <functional>
#include <string>
#include <vector>

struct ChatTurn
{
    std::string role;
    std::string content;
};

// The answer model behind the query pipeline. Failures are thrown as std::runtime_error.
class LLMBackend
{
public:
    virtual ~LLMBackend() = default;

    virtual void loadModel(const std::string &path, float minP, float temperature) = 0;

    // Returns the whole answer; with `stream` set, hands every piece to onPiece as it is made.
    virtual std::string generate(const std::vector<ChatTurn> &messages, bool stream,
        const std::function<void(const std::string &)> &onPiece)
        = 0;

    // Context size of the loaded model in tokens.
    virtual int contextSize() const = 0;
};

#endif // LLMBACKEND_H
