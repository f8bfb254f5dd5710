#ifndef MODELARGUMENTS_H
#define MODELARGUMENTS_H

#include <QHash>

// The two model roles of the command line, the keys of what parseModelArguments returns.
enum ModelRole : int {
    AnswerModel = 0, // "-ma"
    RetrievalModel = 1 // "-mr"
};

// Role to the argument that follows its option. The values point into argv and are not copied.
using ModelPaths = QHash<int, const char *>;

// Scans argv for "-ma" and "-mr" (exact, case-sensitive). A value position is itself scanned as
// the next argument, so a value that reads like an option acts as one, and a later occurrence of
// an option replaces an earlier one.
ModelPaths parseModelArguments(int argc, char *argv[]);

#endif // MODELARGUMENTS_H
