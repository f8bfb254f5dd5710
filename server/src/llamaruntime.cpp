#include "llamaruntime.h"

#include <ggml-backend.h>
#include <llama.h>

#include <mutex>

namespace {
std::mutex runtimeMutex;
bool runtimeReady = false;
}

void initLlamaRuntime()
{
    std::lock_guard<std::mutex> lock(runtimeMutex);
    if (runtimeReady)
        return;
    ggml_backend_load_all();
    llama_backend_init();
    llama_numa_init(GGML_NUMA_STRATEGY_DISABLED);
    runtimeReady = true;
}

void freeLlamaRuntime()
{
    std::lock_guard<std::mutex> lock(runtimeMutex);
    if (!runtimeReady)
        return;
    llama_backend_free();
    runtimeReady = false;
}
