#include "uitestenvironment.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <memory>

namespace UiTestEnvironment {

namespace {
// Removed at exit, after the application and its child processes are gone.
std::unique_ptr<QTemporaryDir> root;
QString rootPath;
}

void isolate()
{
    rootPath = qEnvironmentVariable(RestartRootVariable);
    if (rootPath.isEmpty()) {
        root = std::make_unique<QTemporaryDir>(
            QDir::tempPath() + QStringLiteral("/quorvane-ui-XXXXXX"));
        rootPath = root->path();
    }
    const QString base = rootPath;
    for (const char *sub : { "tmp", "home", "config", "cache", "data", "runtime" })
        QDir(base).mkpath(QString::fromLatin1(sub));
    QFile::setPermissions(base + QStringLiteral("/runtime"),
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("TMPDIR", QFile::encodeName(base + QStringLiteral("/tmp")));
    qputenv("HOME", QFile::encodeName(base + QStringLiteral("/home")));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(base + QStringLiteral("/config")));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(base + QStringLiteral("/cache")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(base + QStringLiteral("/data")));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(base + QStringLiteral("/runtime")));
    const QByteArray bin = qgetenv("QUORVANE_BIN_DIR");
    if (!bin.isEmpty())
        qputenv("PATH", bin + QDir::listSeparator().toLatin1() + qgetenv("PATH"));
    QStandardPaths::setTestModeEnabled(true);
}

QString privateRoot()
{
    return rootPath;
}

void timeAnimationsByTheClock()
{
    qputenv("QSG_RENDER_LOOP", "basic");
}

QString modelsDir()
{
    return qEnvironmentVariable("QUORVANE_MODELS_DIR");
}

QString answerSentence()
{
    QFile file(QDir(modelsDir()).filePath(QStringLiteral("answer.txt")));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll()).trimmed();
}

void storeLocalDemoSettings()
{
    const QString folder = privateRoot() + QStringLiteral("/models");
    QDir().mkpath(folder);
    for (const char *name : { "answer.gguf", "retrieval.gguf" }) {
        const QString model = QString::fromLatin1(name);
        QFile::link(QDir(modelsDir()).filePath(model), QDir(folder).filePath(model));
    }
    QSettings settings(QStringLiteral("Halvenmor"), QStringLiteral("Quorvane"));
    settings.setValue(QStringLiteral("localAI"), true);
    settings.setValue(QStringLiteral("oraculdDir"), QDir::toNativeSeparators(folder));
    settings.setValue(QStringLiteral("ansLLM"), QStringLiteral("answer"));
    settings.setValue(QStringLiteral("retLLM"), QStringLiteral("retrieval"));
    settings.sync();
}

QQuickWindow *mainWindow()
{
    for (QWindow *window : QGuiApplication::topLevelWindows()) {
        if (auto *quick = qobject_cast<QQuickWindow *>(window))
            return quick;
    }
    return nullptr;
}

QObject *findObject(QObject *root, const QString &objectName)
{
    if (!root)
        return nullptr;
    if (root->objectName() == objectName)
        return root;
    if (QObject *found = root->findChild<QObject *>(objectName))
        return found;
    // Items a Loader or a StackView creates hang off the visual tree only.
    if (auto *item = qobject_cast<QQuickItem *>(root)) {
        for (QQuickItem *child : item->childItems()) {
            if (QObject *found = findObject(child, objectName))
                return found;
        }
    } else if (auto *window = qobject_cast<QQuickWindow *>(root)) {
        return findObject(window->contentItem(), objectName);
    }
    return nullptr;
}

QList<QQuickItem *> findItems(QQuickItem *root, const QString &objectName)
{
    QList<QQuickItem *> found;
    if (!root)
        return found;
    for (QQuickItem *child : root->childItems()) {
        if (child->objectName() == objectName)
            found.append(child);
        found += findItems(child, objectName);
    }
    return found;
}

QQuickItem *findItem(QObject *root, const QString &objectName)
{
    return qobject_cast<QQuickItem *>(findObject(root, objectName));
}

QImage saveScreenshot(QQuickWindow *window, const QString &name)
{
    const QImage image = window->grabWindow();
    const QString folder = qEnvironmentVariable("QUORVANE_TEST_OUTPUT");
    if (!folder.isEmpty()) {
        QDir().mkpath(folder);
        image.save(QDir(folder).filePath(name + QStringLiteral(".png")));
    }
    return image;
}

} // namespace UiTestEnvironment
