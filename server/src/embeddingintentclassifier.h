#ifndef EMBEDDINGINTENTCLASSIFIER_H
#define EMBEDDINGINTENTCLASSIFIER_H

#include "chunkrecord.h"

#include <string>
#include <vector>

class Retrieval;

enum Skill : int { RagQa = 0, Summarize = 1, GeneralChat = 2, Translate = 3 };

struct IntentPrototypes
{
    int intent;
    std::vector<std::vector<float>> examples;
};

// Picks the skill of a question by comparing its embedding with the stored material and with
// a few example phrases per intent; no trained classifier needed.
class EmbeddingIntentClassifier
{
public:
    explicit EmbeddingIntentClassifier(float minIntentScore);

    // Binds the engine and the store and embeds the example phrases. Throws on a null engine.
    // An engine without a model yields no prototypes, so every question is GeneralChat.
    void initialize(Retrieval *retrieval, const std::vector<ChunkRecord> *store);

    int classify(const std::string &question);
    std::vector<float> embedText(const std::string &phrase);

    // The decision on a question embedding that is already made.
    static int classifyEmbedding(const std::vector<float> &question,
        const std::vector<IntentPrototypes> &prototypes, const std::vector<ChunkRecord> *store,
        int dim, float minIntentScore);

    static float cosineSimilarity(const std::vector<float> &a, const std::vector<float> &b);

private:
    void buildPrototypes();

    Retrieval *retrieval = nullptr;
    const std::vector<ChunkRecord> *chunkStore = nullptr;
    int dim = 0;
    float minIntentScore;
    std::vector<IntentPrototypes> prototypes;
};

#endif // EMBEDDINGINTENTCLASSIFIER_H
