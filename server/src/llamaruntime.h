#ifndef LLAMARUNTIME_H
#define LLAMARUNTIME_H

// The llama.cpp back end is process-wide: it is initialised once, before the first model loads,
// and freed once at exit, after every model and context is gone. Tying it to one engine's
// lifetime would free it under a replacement engine that is still in use.

// Loads the compute back ends and initialises the library. Idempotent and thread-safe.
void initLlamaRuntime();

// Frees the library back end. Call once at exit, after every model has been freed.
void freeLlamaRuntime();

#endif // LLAMARUNTIME_H
