#ifndef DEMOPROGRAM_H
#define DEMOPROGRAM_H

#include "application.h"
#include "uitestenvironment.h"

#include <QByteArray>
#include <QTest>

namespace UiTestEnvironment {

// Runs the test class against the real program in the demo configuration; the window's WebSocket
// goes to serviceUrl.
template<typename Test>
int runInDemoProgram(int argc, char **argv,
    const QByteArray &serviceUrl = QByteArrayLiteral("ws://127.0.0.1:9/connection"))
{
    isolate();
    storeLocalDemoSettings();
    qputenv("QUORVANE_SERVICE_URL", serviceUrl);
    Application::prepare();
    Application app(argc, argv);
    Test test;
    return QTest::qExec(&test, argc, argv);
}

} // namespace UiTestEnvironment

#endif // DEMOPROGRAM_H
