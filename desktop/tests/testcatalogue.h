#ifndef TESTCATALOGUE_H
#define TESTCATALOGUE_H

#include "modellistmodel.h"

// A catalogue row of the tests' own, not downloaded yet; its file in the model folder is the name
// followed by ".gguf".
inline ModelInfo testModel(const QString &name, const QString &url, qint64 expectedSize,
    const QString &type = QStringLiteral("retrieval"), const QString &displayName = QString())
{
    ModelInfo model;
    model.name = name;
    model.displayName = displayName.isEmpty() ? name : displayName;
    model.url = url;
    model.fileName = name + QStringLiteral(".gguf");
    model.expectedSize = expectedSize;
    model.type = type;
    return model;
}

#endif // TESTCATALOGUE_H
