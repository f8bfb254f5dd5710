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

// A model file held open from its check to its load. The check (in a child process, which
// inherits the descriptor) and the load both read it through openPath(), so both read the file
// that was opened, even when another one is moved over its path meanwhile.
class ModelFile
{
public:
    explicit ModelFile(const std::string &path);
    ~ModelFile();

    ModelFile(const ModelFile &) = delete;
    ModelFile &operator=(const ModelFile &) = delete;

    // The path it was opened by.
    const std::string &path() const { return givenPath; }
    // Why it cannot be a model file (as modelPathProblem says), empty when it is open.
    const std::string &problem() const { return openProblem; }
    // Where this process and its children reach the open file; the given path where the
    // platform has no such name.
    const std::string &openPath() const { return descriptorPath; }
    // Why the open file is no longer as it was opened (device, inode, size or time of the last
    // write differ: it was written to), empty when it is the same.
    std::string changeProblem() const;

private:
    struct Identity
    {
        unsigned long long device = 0;
        unsigned long long inode = 0;
        long long size = 0;
        long long writeSeconds = 0;
        long long writeNanoseconds = 0;
        bool operator==(const Identity &other) const;
    };
    bool readIdentity(Identity &identity) const;

    std::string givenPath;
    std::string descriptorPath;
    std::string openProblem;
    int descriptor = -1;
    Identity opened;
};

#endif // MODELFILE_H
