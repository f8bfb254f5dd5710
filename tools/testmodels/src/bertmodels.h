#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A WordPiece vocabulary as llama.cpp stores it: word-initial pieces carry a leading "▁",
// continuation pieces are plain text.
struct BertVocab
{
    std::vector<std::string> tokens;
    std::vector<int32_t> types;
    uint32_t unknownId = 100;
    uint32_t clsId = 101;
    uint32_t separatorId = 102;
    uint32_t maskId = 103;
    uint32_t paddingId = 0;
};

bool read_bert_vocab(const std::string &path, BertVocab &vocab, std::string &error);

// The retrieval test model: its mean-pooled embedding is a bag of words, so texts sharing words
// are close, unrelated texts are not and identical texts give cosine 1.
bool write_retrieval_model(const BertVocab &vocab, const std::string &path, std::string &error);

// The same model as a reranker (rank pooling): it gives one score per text, not an embedding.
bool write_ranking_model(const BertVocab &vocab, const std::string &path, std::string &error);

// Random weights in the size and layout of a small real embedding model, for benchmarks.
bool write_embed_small_shape(const BertVocab &vocab, const std::string &path, std::string &error);
