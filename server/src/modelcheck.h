#ifndef MODELCHECK_H
#define MODELCHECK_H

#include "modelarguments.h"

#include <functional>
#include <string>

// llama.cpp ends the whole process (an assertion, an abort) on some model files that look sound,
// and no error code comes back. So a model is first tried in a child process of the server's
// own: it loads the file with the server's parameters, makes a context and runs one real step.
// Only a file that passes is loaded in the server itself.

// Waits for a started trial and tells why the file cannot be used, or an empty text when it can.
using ModelVerdict = std::function<std::string()>;
// Starts the trial of a model file in `role`; the verdict may be asked for later, so that other
// work goes on meanwhile on the same thread.
using ModelCheck = std::function<ModelVerdict(const std::string &path, ModelRole role)>;

// How long the trial may take: it reads the whole file once (from disk, the server's own load
// then reads it from the page cache), and a model of several gigabytes on a slow disk is slow.
constexpr int ModelCheckTimeoutMs = 120000;

// The check as the server runs it: `program --check-model <path> --role answer|retrieval` as a
// child process, whose exit code 0 means usable; any other exit, a signal or no end within
// `timeoutMs` refuses the file.
// The child is started at once, on the calling thread; the verdict waits for it to end.
ModelVerdict startModelCheckInChildProcess(const std::string &program, const std::string &path,
    ModelRole role, int timeoutMs = ModelCheckTimeoutMs);

// The child's side: tries the model and returns the process's exit code (0 usable, 1 refused,
// 2 bad arguments). Writes why it refused as one line on standard output.
int runModelCheck(int argc, char *argv[]);

// True when the command line asks for a model check rather than a server.
bool isModelCheckCommand(int argc, char *argv[]);

#endif // MODELCHECK_H
