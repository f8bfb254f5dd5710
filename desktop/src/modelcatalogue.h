#ifndef MODELCATALOGUE_H
#define MODELCATALOGUE_H

#include "modellistmodel.h"

#include <QList>

// The models the program offers for download, in the order the download view lists them, each
// not downloaded yet.
QList<ModelInfo> builtInModelCatalogue();

#endif // MODELCATALOGUE_H
