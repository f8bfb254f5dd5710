#ifndef TOPICSUMMARIZER_H
#define TOPICSUMMARIZER_H

#include "chunkrecord.h"

#include <QString>

#include <string>
#include <vector>

class QLocalSocket;

struct Topic
{
    int id;
    std::vector<const ChunkRecord *> members; // into the chunk store, not owned
    std::vector<std::string> keyTexts; // one per member after extractKeyTexts
    int representative = -1;
    std::vector<float> centroid;
};

// The one key sentence of a chunk text: its first sentence, or the second when the first is
// very short; the whole text when it has no sentence terminator.
std::string key_sentence(const std::string &text);

// Condenses a context that is too long for the answer model into one short line per topic.
class TopicSummarizer
{
public:
    std::vector<Topic> clusterTopics(
        const std::vector<const ChunkRecord *> &records, float threshold);
    void extractKeyTexts(std::vector<Topic> &topics, QLocalSocket *connection);
    std::string buildSummary(const std::vector<Topic> &topics);

    static float cosineSimilarity(const std::vector<float> &a, const std::vector<float> &b);

    // Sends {"type":"PROGRESS","message":text}; a null connection sends nothing.
    void sendProgress(QLocalSocket *connection, const QString &text);
};

#endif // TOPICSUMMARIZER_H
