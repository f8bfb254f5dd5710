// Stands in for a server that does not end when asked: it ignores the terminate request and
// waits until it is killed. Once the request is ignored it creates the file named by
// STUBBORN_READY_FILE, so a test knows that a terminate can no longer end it.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

int main()
{
    std::signal(SIGTERM, SIG_IGN);
    if (const char *ready = std::getenv("STUBBORN_READY_FILE")) {
        if (FILE *file = std::fopen(ready, "w"))
            std::fclose(file);
    }
    for (;;)
        pause();
}
