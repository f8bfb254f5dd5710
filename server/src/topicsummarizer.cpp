#include "topicsummarizer.h"

#include "replychannel.h"

#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

bool isTerminator(char c)
{
    return c == '.' || c == '!' || c == '?';
}

size_t findTerminator(const std::string &text, size_t from)
{
    for (size_t i = from; i < text.size(); ++i) {
        if (isTerminator(text[i]))
            return i;
    }
    return std::string::npos;
}

void appendSentence(std::string &summary, const std::string &sentence)
{
    summary += sentence;
    if (!summary.empty() && !isTerminator(summary.back()))
        summary += '.';
    summary += ' ';
}

} // namespace

std::string key_sentence(const std::string &text)
{
    const size_t start = std::min(text.find_first_not_of(" \n\t"), text.size());
    const size_t end1 = findTerminator(text, start);
    if (end1 == std::string::npos)
        return text;
    if (end1 - start < 20) {
        const size_t end2 = findTerminator(text, end1 + 1);
        if (end2 != std::string::npos)
            return text.substr(end1 + 1, end2 - end1);
    }
    return text.substr(start, end1 - start + 1);
}

std::vector<Topic> TopicSummarizer::clusterTopics(
    const std::vector<const ChunkRecord *> &records, float threshold)
{
    std::vector<Topic> topics;
    for (const ChunkRecord *record : records) {
        if (!record || record->kind != ChunkRecord::Original || record->embedding.empty())
            continue;
        float best = 0.0f;
        Topic *bestTopic = nullptr;
        for (Topic &topic : topics) {
            const float s = cosineSimilarity(record->embedding, topic.members.front()->embedding);
            if (s > best) {
                best = s;
                bestTopic = &topic;
            }
        }
        if (bestTopic && best >= threshold) {
            bestTopic->members.push_back(record);
        } else {
            Topic topic { int(topics.size()), { record }, {}, -1, {} };
            topics.push_back(std::move(topic));
        }
    }
    return topics;
}

void TopicSummarizer::extractKeyTexts(std::vector<Topic> &topics, QLocalSocket *connection)
{
    const size_t topicCount = topics.size();
    for (size_t t = 0; t < topicCount; ++t) {
        Topic &topic = topics[t];
        const int percent = int(float(t + 1) * 100.0f / float(topicCount));
        sendProgress(connection,
            QStringLiteral("Processing topic %1 of %2 (%3%)")
                .arg(t + 1)
                .arg(topicCount)
                .arg(percent));

        std::sort(topic.members.begin(), topic.members.end(),
            [](const ChunkRecord *a, const ChunkRecord *b) {
                return a->page != b->page ? a->page < b->page : a->index < b->index;
            });

        topic.keyTexts.clear();
        topic.keyTexts.reserve(topic.members.size());
        const size_t memberCount = topic.members.size();
        for (size_t m = 0; m < memberCount; ++m) {
            const int memberPercent = int(float(m + 1) * 100.0f / float(memberCount));
            sendProgress(connection,
                QStringLiteral("  Extracting key text (%1%) for topic %2")
                    .arg(memberPercent)
                    .arg(topic.id));
            topic.keyTexts.push_back(key_sentence(topic.members[m]->text));
        }
        sendProgress(connection, QString());

        topic.centroid.clear();
        if (!topic.members.empty() && !topic.members.front()->embedding.empty()) {
            const size_t dim = topic.members.front()->embedding.size();
            topic.centroid.assign(dim, 0.0f);
            for (const ChunkRecord *member : topic.members) {
                if (member->embedding.size() != dim)
                    continue;
                for (size_t i = 0; i < dim; ++i)
                    topic.centroid[i] += member->embedding[i];
            }
            for (float &value : topic.centroid)
                value /= float(memberCount);
        }

        float best = -1.0f;
        int representative = -1;
        for (size_t i = 0; i < memberCount; ++i) {
            const float s = cosineSimilarity(topic.members[i]->embedding, topic.centroid);
            if (s > best) {
                best = s;
                representative = int(i);
            }
        }
        if (representative < 0 && !topic.keyTexts.empty())
            representative = 0;
        topic.representative = representative;
    }
}

std::string TopicSummarizer::buildSummary(const std::vector<Topic> &topics)
{
    std::string summary;
    for (const Topic &topic : topics) {
        if (topic.keyTexts.empty())
            continue;
        int r = topic.representative;
        if (r < 0 || r >= int(topic.keyTexts.size()))
            r = 0;
        appendSentence(summary, topic.keyTexts[size_t(r)]);

        // Rank the other members by closeness to the topic, less what they share with the
        // representative, so the added sentences bring something new.
        std::vector<std::pair<float, size_t>> ranked;
        const size_t count = std::min(topic.members.size(), topic.keyTexts.size());
        for (size_t i = 0; i < count; ++i) {
            if (int(i) == r)
                continue;
            const std::vector<float> &embedding = topic.members[i]->embedding;
            const float score = cosineSimilarity(embedding, topic.centroid)
                - 0.5f * cosineSimilarity(embedding, topic.members[size_t(r)]->embedding);
            ranked.emplace_back(score, i);
        }
        std::stable_sort(ranked.begin(), ranked.end(),
            [](const auto &a, const auto &b) { return a.first > b.first; });
        for (size_t j = 0; j < std::min<size_t>(2, ranked.size()); ++j) {
            const std::string &text = topic.keyTexts[ranked[j].second];
            if (!text.empty())
                appendSentence(summary, text);
        }
        summary += '\n';
    }
    while (!summary.empty() && (summary.back() == '\n' || summary.back() == ' '))
        summary.pop_back();
    return summary;
}

float TopicSummarizer::cosineSimilarity(const std::vector<float> &a, const std::vector<float> &b)
{
    if (a.empty() || b.empty() || a.size() != b.size())
        return 0.0f;
    double dot = 0.0;
    double na = 0.0;
    double nb = 0.0;
    for (size_t i = 0; i < a.size(); ++i) {
        const double x = a[i];
        const double y = b[i];
        dot += x * y;
        na += x * x;
        nb += y * y;
    }
    if (na == 0.0 || nb == 0.0)
        return 0.0f;
    return float(dot / (std::sqrt(nb) * std::sqrt(na)));
}

void TopicSummarizer::sendProgress(QLocalSocket *connection, const QString &text)
{
    if (!connection)
        return;
    sendReply(connection,
        QJsonObject { { QStringLiteral("type"), QStringLiteral("PROGRESS") },
            { QStringLiteral("message"), text } });
}
