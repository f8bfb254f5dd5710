#include "embeddingintentclassifier.h"

#include "retrieval.h"

#include <cmath>
#include <stdexcept>

namespace {

struct PhraseGroup
{
    int intent;
    std::vector<const char *> phrases;
};

const std::vector<PhraseGroup> &phraseGroups()
{
    static const std::vector<PhraseGroup> groups = {
        { Summarize,
            { "Summarize this", "Give me a short version", "Provide a brief summary",
                "Condense the following text", "Make a summary of this",
                "give me the summary of the document", "what is the summary", "summaries please",
                "short summary", "brief summary" } },
        { Translate,
            { "Translate this", "Put this in Greek", "Convert this to English",
                "Translate the following text", "Translate this sentence" } },
    };
    return groups;
}

} // namespace

EmbeddingIntentClassifier::EmbeddingIntentClassifier(float minIntentScore)
    : minIntentScore(minIntentScore)
{ }

void EmbeddingIntentClassifier::initialize(
    Retrieval *retrieval, const std::vector<ChunkRecord> *store)
{
    if (!retrieval)
        throw std::runtime_error("EmbeddingIntentClassifier::initialize: Retrieval is null");
    this->retrieval = retrieval;
    chunkStore = store;
    dim = retrieval->get_n_embd();
    buildPrototypes();
}

void EmbeddingIntentClassifier::buildPrototypes()
{
    prototypes.clear();
    // Without a model there is nothing to compare with: every question is general chat.
    if (!retrieval->isLoaded())
        return;
    for (const PhraseGroup &group : phraseGroups()) {
        IntentPrototypes prototype { group.intent, {} };
        prototype.examples.reserve(group.phrases.size());
        for (const char *phrase : group.phrases)
            prototype.examples.push_back(embedText(phrase));
        prototypes.push_back(std::move(prototype));
    }
}

std::vector<float> EmbeddingIntentClassifier::embedText(const std::string &phrase)
{
    if (!retrieval)
        throw std::runtime_error("EmbeddingIntentClassifier::embedText: Retrieval not initialized");
    return retrieval->embed_text(phrase);
}

int EmbeddingIntentClassifier::classify(const std::string &question)
{
    if (!retrieval || !retrieval->isLoaded())
        return GeneralChat;
    return classifyEmbedding(
        retrieval->embed_text(question), prototypes, chunkStore, dim, minIntentScore);
}

int EmbeddingIntentClassifier::classifyEmbedding(const std::vector<float> &question,
    const std::vector<IntentPrototypes> &prototypes, const std::vector<ChunkRecord> *store, int dim,
    float minIntentScore)
{
    float docBest = 0.0f;
    if (store && dim > 0) {
        for (const ChunkRecord &record : *store) {
            if (int(record.embedding.size()) == dim)
                docBest = std::max(docBest, cosineSimilarity(question, record.embedding));
        }
    }

    float best = 0.0f;
    int skill = GeneralChat;
    for (const IntentPrototypes &group : prototypes) {
        float groupBest = 0.0f;
        for (const std::vector<float> &example : group.examples)
            groupBest = std::max(groupBest, cosineSimilarity(question, example));
        if (groupBest > best) {
            best = groupBest;
            skill = group.intent;
        }
    }

    if (docBest > best + 0.05f)
        return RagQa;
    if (best >= minIntentScore)
        return skill;
    return GeneralChat;
}

float EmbeddingIntentClassifier::cosineSimilarity(
    const std::vector<float> &a, const std::vector<float> &b)
{
    if (a.size() != b.size() || a.empty())
        return 0.0f;
    float dot = 0.0f;
    float na = 0.0f;
    float nb = 0.0f;
    for (size_t i = 0; i < a.size(); ++i) {
        dot += a[i] * b[i];
        na += a[i] * a[i];
        nb += b[i] * b[i];
    }
    if (na == 0.0f || nb == 0.0f)
        return 0.0f;
    return dot / (std::sqrt(nb) * std::sqrt(na));
}
