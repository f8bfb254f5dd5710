#include "modelarguments.h"

#include <cstring>

ModelPaths parseModelArguments(int argc, char *argv[])
{
    ModelPaths paths;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-ma") == 0)
            paths.insert(AnswerModel, argv[i + 1]);
        else if (std::strcmp(argv[i], "-mr") == 0)
            paths.insert(RetrievalModel, argv[i + 1]);
    }
    return paths;
}
