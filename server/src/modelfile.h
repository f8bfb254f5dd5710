#ifndef MODELFILE_H
#define MODELFILE_H

#include <string>

// Checks made before a model file is handed to llama.cpp. Each returns why the file cannot be a
// model, or an empty text when it may be one.

// The path must name a regular file. A FIFO or a device would block the loader in its first read
// until something writes to it, and a folder cannot be a model.
std::string modelPathProblem(const std::string &path);

// As modelPathProblem, and the file must be a GGUF file whose every tensor lies within it, so a
// truncated copy or another kind of file is refused without loading anything.
std::string ggufFileProblem(const std::string &path);

#endif // MODELFILE_H
