#ifndef LLAMABACKEND_H
#define LLAMABACKEND_H

#include "llmbackend.h"

#include <llama.h>

#include <memory>
#include <string>
#include <vector>

struct common_chat_templates;

// Makes room for `prompt` in a context of n tokens: a prompt longer than n keeps its last n
// tokens and drops the whole history; otherwise, when history and prompt overflow n by O
// tokens, the oldest 2*O history tokens go (all of them when that is not less than the history).
// Then the prompt is appended to the history.
void fit_token_history(std::vector<llama_token> &history, std::vector<llama_token> prompt, int n);

// Runs a chat model through llama.cpp, keeping the tokens of earlier requests as a history that
// is decoded anew in front of each prompt.
class LlamaBackend : public LLMBackend
{
public:
    LlamaBackend();
    ~LlamaBackend() override;

    LlamaBackend(const LlamaBackend &) = delete;
    LlamaBackend &operator=(const LlamaBackend &) = delete;

    void loadModel(const std::string &path, float minP, float temperature) override;
    std::string generate(const std::vector<ChatTurn> &messages, bool stream,
        const std::function<void(const std::string &)> &onPiece) override;
    int contextSize() const override;

    // One real step on a short chat: the prompt decoded and one token sampled; the history and
    // the cache are left empty. Throws as generate does.
    void decodeOneStep();

    // The sampler chain every generated token is drawn with (min-p, temperature, draw).
    llama_sampler *samplerChain() const { return sampler; }

    // The tokens the model has been shown so far, oldest first.
    const std::vector<llama_token> &history() const { return tokenHistory; }

    // How prompts are formatted: by llama.cpp's built-in template that matches the model's
    // template text, by rendering that text as a Jinja template, or as chatml when neither can.
    enum TemplateRoute { BuiltinTemplate, JinjaTemplate, ChatmlTemplate };
    TemplateRoute templateRoute() const { return route; }

private:
    struct ChatTemplatesDeleter
    {
        void operator()(common_chat_templates *templates) const;
    };

    void releaseHandles();
    void chooseTemplateRoute(const std::string &path);
    // The prompt text of `messages`, closed by the opening of the assistant's turn; throws when
    // the model's own built-in template fails.
    std::string formatPrompt(const std::vector<ChatTurn> &messages, int bufferSize);
    // Decodes `count` tokens after what the cache holds, in calls of at most n_batch tokens;
    // throws when llama.cpp fails.
    void decodeTokens(llama_token *tokens, size_t count);

    llama_model *model = nullptr;
    llama_context *context = nullptr;
    llama_sampler *sampler = nullptr;
    std::vector<llama_token> tokenHistory;
    llama_batch batch {};
    TemplateRoute route = BuiltinTemplate;
    std::unique_ptr<common_chat_templates, ChatTemplatesDeleter> jinjaTemplates;
};

#endif // LLAMABACKEND_H
