#include "llamabackend.h"

#include "llamaruntime.h"
#include "modelfile.h"
#include "texttokens.h"

#include <chat.h>
#include <common.h>
#include <log.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <stdexcept>

namespace {

constexpr int MaxContextTokens = 4096;

bool silentProgress(float, void *)
{
    return true;
}

// llama.cpp's built-in formatting by template name or by the markers of a template text; the
// buffer grows once to the exact length. False when the library does not know the template.
bool applyBuiltinTemplate(const char *chatTemplate, const std::vector<ChatTurn> &messages,
    int bufferSize, std::string &prompt)
{
    std::vector<llama_chat_message> chat;
    chat.reserve(messages.size());
    for (const ChatTurn &turn : messages)
        chat.push_back({ turn.role.c_str(), turn.content.c_str() });

    std::vector<char> formatted(size_t(std::max(bufferSize, 1)), '\0');
    int length = llama_chat_apply_template(
        chatTemplate, chat.data(), chat.size(), true, formatted.data(), int(formatted.size()));
    if (length > int(formatted.size())) {
        formatted.assign(size_t(length), '\0');
        length = llama_chat_apply_template(
            chatTemplate, chat.data(), chat.size(), true, formatted.data(), int(formatted.size()));
    }
    if (length < 0)
        return false;
    prompt.assign(formatted.data(), size_t(length));
    return true;
}

std::string applyJinjaTemplate(
    const common_chat_templates *templates, const std::vector<ChatTurn> &messages)
{
    common_chat_templates_inputs inputs;
    inputs.use_jinja = true;
    inputs.add_generation_prompt = true;
    for (const ChatTurn &turn : messages) {
        common_chat_msg message;
        message.role = turn.role;
        message.content = turn.content;
        inputs.messages.push_back(std::move(message));
    }
    return common_chat_templates_apply(templates, inputs).prompt;
}

// Why the model cannot generate text, empty when it can. An embedding model (attention that is
// not causal, or its output pooled into one vector per text) runs, but its "next token" is noise.
std::string generationProblem(const llama_model *model, llama_context *context)
{
    char architecture[128] = {};
    if (llama_model_meta_val_str(model, "general.architecture", architecture, sizeof architecture)
        > 0) {
        char causal[16] = {};
        const std::string key = std::string(architecture) + ".attention.causal";
        if (llama_model_meta_val_str(model, key.c_str(), causal, sizeof causal) > 0
            && std::string(causal) == "false")
            return "it is an embedding model (its attention is not causal), so it cannot "
                   "generate text";
    }
    if (llama_pooling_type(context) != LLAMA_POOLING_TYPE_NONE)
        return "it is an embedding model (it pools its output into one vector per text), so it "
               "cannot generate text";
    return {};
}

const std::vector<ChatTurn> &probeMessages()
{
    static const std::vector<ChatTurn> probe { { "system", "You are helpful." },
        { "user", "Hello" } };
    return probe;
}

} // namespace

void fit_token_history(std::vector<llama_token> &history, std::vector<llama_token> prompt, int n)
{
    const size_t limit = size_t(std::max(n, 0));
    if (prompt.size() > limit) {
        prompt.erase(prompt.begin(), prompt.end() - std::ptrdiff_t(limit));
        history.clear();
    } else if (history.size() + prompt.size() > limit) {
        const size_t overflow = history.size() + prompt.size() - limit;
        if (2 * overflow < history.size())
            history.erase(history.begin(), history.begin() + std::ptrdiff_t(2 * overflow));
        else
            history.clear();
    }
    history.insert(history.end(), prompt.begin(), prompt.end());
}

LlamaBackend::LlamaBackend() = default;

LlamaBackend::~LlamaBackend()
{
    releaseHandles();
}

void LlamaBackend::releaseHandles()
{
    if (sampler)
        llama_sampler_free(sampler);
    if (context)
        llama_free(context);
    if (model)
        llama_model_free(model);
    sampler = nullptr;
    context = nullptr;
    model = nullptr;
}

void LlamaBackend::ChatTemplatesDeleter::operator()(common_chat_templates *templates) const
{
    common_chat_templates_free(templates);
}

void LlamaBackend::loadModel(const std::string &path, float minP, float temperature)
{
    // Idempotent; lets the backend stand alone as well as behind the retrieval engine.
    initLlamaRuntime();
    releaseHandles();

    // The loader's first read of a FIFO or a device would wait for a writer for ever.
    const std::string problem = modelPathProblem(path);
    if (!problem.empty()) {
        LOG_ERR(
            "%s: model file \"%s\" %s\n", "LlamaBackend::loadModel", path.c_str(), problem.c_str());
        throw std::runtime_error("LlamaBackend::loadModel: llama_model_load_from_file() failed");
    }

    llama_model_params modelParams = llama_model_default_params();
    modelParams.progress_callback = silentProgress;
    model = llama_model_load_from_file(path.c_str(), modelParams);
    if (!model)
        throw std::runtime_error("LlamaBackend::loadModel: llama_model_load_from_file() failed");

    // The trained context, capped so a large model does not reserve gigabytes of cache; one
    // decode call may then take the whole history.
    int contextTokens = llama_model_n_ctx_train(model);
    if (contextTokens <= 0 || contextTokens > MaxContextTokens)
        contextTokens = MaxContextTokens;
    llama_context_params contextParams = llama_context_default_params();
    contextParams.no_perf = true;
    contextParams.n_ctx = uint32_t(contextTokens);
    contextParams.n_batch = uint32_t(contextTokens);
    context = llama_init_from_model(model, contextParams);
    if (!context)
        throw std::runtime_error("LlamaBackend::loadModel: llama_init_from_model() failed");
    const std::string unfit = generationProblem(model, context);
    if (!unfit.empty()) {
        releaseHandles();
        throw std::runtime_error("LlamaBackend::loadModel: " + unfit);
    }

    llama_sampler_chain_params chainParams = llama_sampler_chain_default_params();
    chainParams.no_perf = true;
    sampler = llama_sampler_chain_init(chainParams);
    llama_sampler_chain_add(sampler, llama_sampler_init_min_p(minP, 1));
    llama_sampler_chain_add(sampler, llama_sampler_init_temp(temperature));
    llama_sampler_chain_add(sampler, llama_sampler_init_dist(LLAMA_DEFAULT_SEED));

    tokenHistory.clear();
    batch = llama_batch {};
    chooseTemplateRoute(path);
}

void LlamaBackend::chooseTemplateRoute(const std::string &path)
{
    route = BuiltinTemplate;
    jinjaTemplates.reset();
    std::string prompt;
    if (applyBuiltinTemplate(llama_model_chat_template(model, nullptr), probeMessages(), 1, prompt))
        return;
    // A template llama.cpp does not know by its markers is rendered as the Jinja text it is.
    try {
        jinjaTemplates.reset(common_chat_templates_init(model, "").release());
        applyJinjaTemplate(jinjaTemplates.get(), probeMessages());
        route = JinjaTemplate;
        LOG_WRN("%s: the chat template of \"%s\" is not one llama.cpp knows by name; prompts are "
                "rendered from the template text\n",
            "LlamaBackend::loadModel", path.c_str());
    } catch (const std::exception &) {
        jinjaTemplates.reset();
        route = ChatmlTemplate;
        // The library has logged why the template cannot be rendered.
        LOG_WRN("%s: the chat template of \"%s\" can be neither recognised nor rendered; "
                "prompts are formatted as chatml\n",
            "LlamaBackend::loadModel", path.c_str());
    }
}

std::string LlamaBackend::formatPrompt(const std::vector<ChatTurn> &messages, int bufferSize)
{
    if (route == JinjaTemplate) {
        try {
            return applyJinjaTemplate(jinjaTemplates.get(), messages);
        } catch (const std::exception &error) {
            // A template may refuse some conversations (a system turn, for one): chatml then.
            LOG_WRN("%s: the chat template failed (%s); prompts are formatted as chatml\n",
                "LlamaBackend::generate", error.what());
            route = ChatmlTemplate;
            jinjaTemplates.reset();
        }
    }
    const char *chatTemplate
        = route == ChatmlTemplate ? "chatml" : llama_model_chat_template(model, nullptr);
    std::string prompt;
    if (!applyBuiltinTemplate(chatTemplate, messages, bufferSize, prompt))
        throw std::runtime_error("LlamaBackend::generate: llama_chat_apply_template() failed");
    return prompt;
}

std::string LlamaBackend::generate(const std::vector<ChatTurn> &messages, bool stream,
    const std::function<void(const std::string &)> &onPiece)
{
    if (!model || !context || !sampler)
        throw std::runtime_error("LlamaBackend::generate: model/context/sampler not initialized");

    const int n = int(llama_n_ctx(context));
    const llama_vocab *vocab = llama_model_get_vocab(model);
    llama_memory_t memory = llama_get_memory(context);

    const std::string prompt = formatPrompt(messages, n);
    fit_token_history(tokenHistory, tokenize_in_pieces(vocab, prompt, true, true), n);

    // The cache is rebuilt from the kept history on every request.
    llama_memory_seq_rm(memory, 0, 0, -1);
    size_t batchStart = 0;
    size_t batchCount = tokenHistory.size();

    std::string answer;
    // How fast the answer was generated, for the log: tokens and time from the first to the last.
    int sampled = 0;
    std::chrono::steady_clock::time_point firstSampled;
    std::chrono::steady_clock::time_point lastSampled;
    // A model that never produces its end token stops after as many tokens as the context holds.
    for (int generated = 0; generated < n; ++generated) {
        const llama_pos maxPos = llama_memory_seq_pos_max(memory, 0);
        if (maxPos + 1 + int(batchCount) >= n) {
            const int keep = (n - int(batchCount)) / 2;
            if (keep > 0 && size_t(keep) <= tokenHistory.size()) {
                batchStart = tokenHistory.size() - size_t(keep);
                batchCount = size_t(keep);
            }
            llama_memory_seq_rm(memory, 0, 0, -1);
        }

        decodeTokens(tokenHistory.data() + batchStart, batchCount);

        const llama_token token = llama_sampler_sample(sampler, context, -1);
        lastSampled = std::chrono::steady_clock::now();
        if (sampled++ == 0)
            firstSampled = lastSampled;
        tokenHistory.push_back(token);
        if (llama_vocab_is_eog(vocab, token))
            break;

        const std::string piece = common_token_to_piece(context, token, true);
        answer += piece;
        if (stream && onPiece)
            onPiece(piece);

        batchStart = tokenHistory.size() - 1;
        batchCount = 1;
    }
    // The end token counts: it is generated like any other. The time spans sampled - 1 steps.
    const double ms = std::chrono::duration<double, std::milli>(lastSampled - firstSampled).count();
    LOG_INF("%s: %d tokens generated, %.3f ms from the first to the last\n",
        "LlamaBackend::generate", sampled, ms);
    return answer;
}

void LlamaBackend::decodeTokens(llama_token *tokens, size_t count)
{
    // One decode call may take at most n_batch tokens.
    const size_t maxDecode = std::max<size_t>(1, llama_n_batch(context));
    for (size_t offset = 0; offset < count; offset += maxDecode) {
        const size_t part = std::min(maxDecode, count - offset);
        batch = llama_batch_get_one(tokens + offset, int32_t(part));
        if (llama_decode(context, batch) < 0)
            throw std::runtime_error("LlamaBackend::generate: llama_decode() failed");
    }
}

void LlamaBackend::decodeOneStep()
{
    if (!model || !context || !sampler)
        throw std::runtime_error("LlamaBackend::generate: model/context/sampler not initialized");
    const int n = int(llama_n_ctx(context));
    // As short as a chat gets, system turn included: the step costs a decode per token.
    static const std::vector<ChatTurn> shortest { { "system", "." }, { "user", "?" } };
    std::vector<llama_token> tokens
        = common_tokenize(llama_model_get_vocab(model), formatPrompt(shortest, n), true, true);
    if (tokens.size() > size_t(n))
        tokens.resize(size_t(n));
    llama_memory_t memory = llama_get_memory(context);
    llama_memory_seq_rm(memory, 0, 0, -1);
    decodeTokens(tokens.data(), tokens.size());
    llama_sampler_sample(sampler, context, -1);
    llama_memory_seq_rm(memory, 0, 0, -1);
    batch = llama_batch {};
}

int LlamaBackend::contextSize() const
{
    return context ? int(llama_n_ctx(context)) : 0;
}
