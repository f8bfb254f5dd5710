#include "modelcatalogue.h"

namespace {

struct CatalogueEntry
{
    const char *name;
    const char *displayName;
    const char *type;
    qint64 expectedSize;
    const char *repository; // owner/repository on the model repository
    const char *remoteFile; // file name in that repository
};

// The one place to correct when a repository moves or renames a file.
const CatalogueEntry catalogue[] = {
    { "Llama-3.2-1B-Instruct-Q8_0", "Llama 3.2 1B (Answers)", "generation", 1321082528,
        "bartowski/Llama-3.2-1B-Instruct-GGUF", "Llama-3.2-1B-Instruct-Q8_0.gguf" },
    { "snowflake-arctic-embed-s-f16", "Snowflake Arctic (Retrieval)", "retrieval", 67309063,
        "ChristianAzinn/snowflake-arctic-embed-s-gguf", "snowflake-arctic-embed-s-f16.GGUF" },
    { "bge-m3-FP16", "BGE M3 FP16 (Retrieval)", "retrieval", 1157671200, "gpustack/bge-m3-GGUF",
        "bge-m3-FP16.gguf" },
    { "gemma-3-1b-it-q4_0", "Gemma 3 1B IT Q4_0 (Generation)", "generation", 1003541152,
        "google/gemma-3-1b-it-qat-q4_0-gguf", "gemma-3-1b-it-q4_0.gguf" },
    { "Phi-3.5-mini-instruct.Q8_0", "Phi 3.5 Mini Instruct Q8_0 (Generation)", "generation",
        4061222624, "QuantFactory/Phi-3.5-mini-instruct-GGUF", "Phi-3.5-mini-instruct.Q8_0.gguf" },
    { "qwen2.5-3b-instruct-q8_0", "Qwen 2.5 3B Instruct Q8_0 (Generation)", "generation",
        3616088480, "Qwen/Qwen2.5-3B-Instruct-GGUF", "qwen2.5-3b-instruct-q8_0.gguf" },
};

const char repositoryHost[] = "https://huggingface.co/";

} // namespace

QList<ModelInfo> builtInModelCatalogue()
{
    QList<ModelInfo> models;
    for (const CatalogueEntry &entry : catalogue) {
        ModelInfo model;
        model.name = QString::fromUtf8(entry.name);
        model.displayName = QString::fromUtf8(entry.displayName);
        model.url = QString::fromUtf8(repositoryHost) + QString::fromUtf8(entry.repository)
            + QStringLiteral("/resolve/main/") + QString::fromUtf8(entry.remoteFile);
        model.fileName = model.name + QStringLiteral(".gguf");
        model.expectedSize = entry.expectedSize;
        model.type = QString::fromUtf8(entry.type);
        model.state = ModelListModel::NotDownloaded;
        models.append(model);
    }
    return models;
}
