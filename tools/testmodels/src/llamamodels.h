#pragma once

#include <string>
#include <vector>

// What an answer test model says: its vocabulary pieces in the order it generates them
// ("▁" stands for a space, "<0xHH>" for a single byte). A model that loops starts over after
// the last piece instead of emitting its end token.
struct AnswerScript
{
    std::vector<std::string> pieces;
    bool loops = false;
};

const AnswerScript &answer_script();
const AnswerScript &answer_utf8_script();
const AnswerScript &answer_endless_script();

// The text one pass of the script produces, as llama.cpp turns its pieces into text.
std::string script_text(const AnswerScript &script);

// Chat template texts: chatml, which llama.cpp knows by its markers; a Jinja template in a
// format llama.cpp does not know by name; and a text that is not a valid template at all.
std::string chatml_template();
std::string unknown_template();
std::string broken_template();

// A llama model with the given chat template whose output for any prompt is the script: a bigram
// table keyed by the last token, sharp enough that min_p sampling leaves one candidate.
bool write_answer_model(const AnswerScript &script, const std::string &path, std::string &error,
    const std::string &chatTemplate = chatml_template());

// Random f16 weights in the size of a 1B-class llama, for benchmarks.
bool write_llama_1b_shape(const std::string &path, std::string &error);
