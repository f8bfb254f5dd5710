#include "modelcheck.h"

#include "llamabackend.h"
#include "llamaruntime.h"
#include "orchestratorcore.h"
#include "retrieval.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QString>
#include <QStringList>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <vector>

namespace {

const char CheckOption[] = "--check-model";
const char RoleOption[] = "--role";
const char AnswerRoleName[] = "answer";
const char RetrievalRoleName[] = "retrieval";

// The last line the child wrote on standard error: where llama.cpp aborts, its assertion.
std::string lastLine(const QByteArray &output)
{
    const QList<QByteArray> lines = output.trimmed().split('\n');
    std::string line = lines.isEmpty() ? std::string() : lines.last().trimmed().toStdString();
    constexpr size_t MaxLength = 300;
    if (line.size() > MaxLength)
        line = line.substr(0, MaxLength) + "...";
    return line;
}

std::string signalName(int signalNumber)
{
#ifdef Q_OS_UNIX
    const char *description = strsignal(signalNumber);
#else
    const char *description = nullptr; // an exception code, not a signal
#endif
    return "signal " + std::to_string(signalNumber)
        + (description ? std::string(" (") + description + ")" : std::string());
}

std::string withDetail(const std::string &what, const std::string &detail)
{
    return detail.empty() ? what : what + ": " + detail;
}

int tryAnswerModel(const std::string &path)
{
    LlamaBackend backend;
    backend.loadModel(path, OrchestratorCore::MinP, OrchestratorCore::Temperature);
    backend.decodeOneStep();
    return 0;
}

int tryRetrievalModel(const std::string &path)
{
    Retrieval retrieval(path.c_str());
    if (!retrieval.isLoaded()) {
        std::printf("%s\n", retrieval.loadProblem().c_str());
        return 1;
    }
    // Two texts in one pass, as a store's chunks are embedded.
    std::vector<ChunkRecord> records(2);
    records[0].text = "A first short text to embed.";
    records[1].text = "And a second one beside it.";
    if (!retrieval.embed_chunks(records).empty()) {
        std::printf("it cannot embed a text\n");
        return 1;
    }
    return 0;
}

} // namespace

bool isModelCheckCommand(int argc, char *argv[])
{
    return argc >= 2 && std::strcmp(argv[1], CheckOption) == 0;
}

int runModelCheck(int argc, char *argv[])
{
    if (argc != 5 || std::strcmp(argv[1], CheckOption) != 0 || std::strcmp(argv[3], RoleOption) != 0
        || (std::strcmp(argv[4], AnswerRoleName) != 0
            && std::strcmp(argv[4], RetrievalRoleName) != 0)) {
        std::fprintf(stderr, "usage: oraculd --check-model <model file> --role answer|retrieval\n");
        return 2;
    }
    int code = 1;
    try {
        code = std::strcmp(argv[4], AnswerRoleName) == 0 ? tryAnswerModel(argv[2])
                                                         : tryRetrievalModel(argv[2]);
    } catch (const std::exception &error) {
        std::printf("%s\n", error.what());
    }
    std::fflush(stdout);
    freeLlamaRuntime();
    return code;
}

ModelVerdict startModelCheckInChildProcess(
    const std::string &program, const std::string &path, ModelRole role, int timeoutMs)
{
    // Started here and not from a helper thread: the child is made from the environment as it
    // is, and llama.cpp sets variables of it (setenv) when it first initialises on this thread.
    auto check = std::make_shared<QProcess>();
    check->setProgram(QString::fromStdString(program));
    check->setArguments(
        { QLatin1String(CheckOption), QString::fromStdString(path), QLatin1String(RoleOption),
            QLatin1String(role == AnswerModel ? AnswerRoleName : RetrievalRoleName) });
#ifdef Q_OS_LINUX
    // A check ends with the server, also one that hangs; the signal is tied to the thread that
    // starts the child, which lives as long as the server does. A server that ended before the
    // signal was armed has no check to wait for.
    const pid_t server = ::getpid();
    check->setChildProcessModifier([server] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != server)
            ::_exit(1);
    });
#endif
    check->start();
    const bool started = check->waitForStarted(timeoutMs);
    QDeadlineTimer deadline(timeoutMs);
    return [check, started, role, timeoutMs, deadline]() -> std::string {
        if (!started) {
            const std::string error = check->errorString().toStdString();
            check->kill();
            check->waitForFinished(-1);
            return "could not be tried in a separate process: " + error;
        }
        if (!check->waitForFinished(int(qMax<qint64>(1, deadline.remainingTime())))) {
            check->kill();
            check->waitForFinished(-1);
            return "was refused: trying it in a separate process took more than "
                + std::to_string(timeoutMs / 1000) + " s";
        }
        if (check->exitStatus() == QProcess::NormalExit && check->exitCode() == 0)
            return {};

        const std::string reason = lastLine(check->readAllStandardOutput());
        if (check->exitStatus() == QProcess::NormalExit && check->exitCode() == 1
            && !reason.empty())
            return role == AnswerModel ? "cannot be loaded: " + reason : reason;
        // On a crash QProcess reports the signal that ended the child as its exit code.
        const std::string end = check->exitStatus() == QProcess::CrashExit
            ? "ended by " + signalName(check->exitCode())
            : "ended with exit code " + std::to_string(check->exitCode());
        return withDetail("makes llama.cpp fail: trying it in a separate process " + end,
            lastLine(check->readAllStandardError()));
    };
}
