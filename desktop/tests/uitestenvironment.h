#ifndef UITESTENVIRONMENT_H
#define UITESTENVIRONMENT_H

#include <QImage>
#include <QList>
#include <QString>

class QObject;
class QQuickItem;
class QQuickWindow;

// What the UI tests share: a private process environment, the demo settings, and ways to reach
// and photograph the real window.
namespace UiTestEnvironment {

// Points TMPDIR, HOME and the XDG folders at a fresh private folder, turns on the test mode of
// QStandardPaths and puts the build's programs first on PATH. Call before any Qt object exists.
// A test program that a test starts again, as a user restarts the program, is given the folder
// of the first in this environment variable and keeps its settings and files.
inline constexpr char RestartRootVariable[] = "QUORVANE_UI_RESTART_ROOT";
void isolate();
QString privateRoot();

// Stores the settings of the demo configuration: local mode, a model folder with the demo models,
// and both of them chosen.
void storeLocalDemoSettings();

// Animations and QML timers then run on the clock. The threaded render loop moves them one
// vsync step per frame, and Xvfb paces no frames: there they ran 1.6 times too fast. Call before
// the application object exists.
void timeAnimationsByTheClock();

QString modelsDir();
QString answerSentence();

QQuickWindow *mainWindow();
QQuickItem *findItem(QObject *root, const QString &objectName);
QObject *findObject(QObject *root, const QString &objectName);
// Every item of that name in the visual tree below root, in tree order.
QList<QQuickItem *> findItems(QQuickItem *root, const QString &objectName);

// Saves the window's picture as <name>.png in the test output folder and returns it.
QImage saveScreenshot(QQuickWindow *window, const QString &name);

} // namespace UiTestEnvironment

#endif // UITESTENVIRONMENT_H
