// The same search as bench-search, in the real program: the Application with its main window,
// Chat and document list, online, against the service stand-in whose address QUORVANE_SERVICE_URL
// gives (it acknowledges chunks at once, so listing costs scrivex's time only). The PDFs are
// dropped on the document view in the given order and ingested by the real scrivex; then Ctrl+F
// opens the search view, the word is typed and Return starts the search. Prints bench-search's
// line, from the Return on.
//   bench-search-program <word> <file.pdf>...
// BENCH_SEARCH_EACH_LISTED_APART=1: as a user adds documents one by one, the document view is
// opened from the search view for each PDF after the first, and the search view again after it.

#include "application.h"
#include "chat.h"
#include "doc.h"
#include "docdrop.h"
#include "doclist.h"
#include "searchwatch.h"
#include "timeslicedsearchmodel.h"
#include "uitestenvironment.h"

#include <QElapsedTimer>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSettings>
#include <QTest>
#include <QUrl>

#include <cstdio>
#include <functional>

using namespace UiTestEnvironment;

namespace {

// Listing the manual takes scrivex a while on a loaded machine.
constexpr int ListingTimeoutMs = 600000;
constexpr int StepTimeoutMs = 20000;

bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.hasExpired(timeoutMs))
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return true;
}

QQuickItem *currentView(QQuickWindow *window)
{
    QObject *stack = findObject(window, QStringLiteral("mainStack"));
    return stack ? stack->property("currentItem").value<QQuickItem *>() : nullptr;
}

// Until the given view is on top and the stack has ended its transition.
bool waitForView(QQuickWindow *window, const QString &name)
{
    return waitUntil(
        [&] {
            QQuickItem *view = currentView(window);
            QObject *stack = findObject(window, QStringLiteral("mainStack"));
            return view && view->objectName() == name && !stack->property("busy").toBool();
        },
        StepTimeoutMs);
}

bool openSearchView(QQuickWindow *window)
{
    QTest::keyClick(window, Qt::Key_F, Qt::ControlModifier);
    return waitForView(window, QStringLiteral("searchView"));
}

bool openDocView(QQuickWindow *window)
{
    DocDrop::click(window, findItem(currentView(window), QStringLiteral("docButton")));
    return waitForView(window, QStringLiteral("docView"));
}

bool drop(QQuickWindow *window, const QList<QUrl> &urls)
{
    return DocDrop::dropUrls(
        window, findItem(currentView(window), QStringLiteral("docListView")), urls);
}

int fail(const char *what)
{
    std::fprintf(stderr, "bench-search-program: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench-search-program <word> <file.pdf>...\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QUORVANE_SERVICE_URL"))
        return fail("QUORVANE_SERVICE_URL must give the service stand-in's address");
    isolate();
    QSettings(QStringLiteral("Halvenmor"), QStringLiteral("Quorvane"))
        .setValue(QStringLiteral("localAI"), false);
    Application::prepare();
    Application app(argc, argv);
    // BENCH_SEARCH_VERBOSE=1: the program's log as it is, to see why a listing fails.
    if (qEnvironmentVariableIntValue("BENCH_SEARCH_VERBOSE") == 0)
        keepOnlyCriticalMessages();

    QQuickWindow *window = mainWindow();
    if (!window || !QTest::qWaitForWindowExposed(window))
        return fail("the main window did not show");
    // Shortcuts and typing need the active window; Xvfb has no window manager to give it.
    window->requestActivate();
    if (!QTest::qWaitForWindowActive(window))
        return fail("the main window did not become active");
    Chat *chat = app.findChild<Chat *>();
    if (!chat)
        return fail("no Chat");
    DocList *docs = chat->docs();
    if (!waitForView(window, QStringLiteral("docView")))
        return fail("the document view did not show");

    QList<QUrl> urls;
    for (int arg = 2; arg < argc; ++arg)
        urls.append(QUrl::fromLocalFile(QString::fromLocal8Bit(argv[arg])));
    if (qEnvironmentVariableIntValue("BENCH_SEARCH_EACH_LISTED_APART") != 0) {
        for (int at = 0; at < urls.size(); ++at) {
            if (at > 0 && !openDocView(window))
                return fail("the document view did not open");
            if (!drop(window, { urls.at(at) }))
                return fail("the drop was refused");
            if (!waitUntil([&] { return docs->rowCount() == at + 1; }, ListingTimeoutMs))
                return fail("a PDF was not listed");
            if (!openSearchView(window))
                return fail("the search view did not open");
        }
    } else {
        if (!drop(window, urls))
            return fail("the drop was refused");
        if (!waitUntil([&] { return docs->rowCount() == urls.size(); }, ListingTimeoutMs))
            return fail("the PDFs were not listed");
        if (!openSearchView(window))
            return fail("the search view did not open");
    }
    int pages = 0;
    for (int row = 0; row < docs->rowCount(); ++row)
        pages += docs->data(docs->index(row), DocList::DocObjectRole).value<Doc *>()->pageCount();

    QQuickItem *field = findItem(currentView(window), QStringLiteral("searchField"));
    if (!field || !waitUntil([field] { return field->hasActiveFocus(); }, StepTimeoutMs))
        return fail("the search field did not take the focus");
    for (const QChar c : QString::fromLocal8Bit(argv[1]))
        QTest::keyClick(window, c.toLatin1());
    // The window settles before the clock starts, as in bench-search.
    waitUntil([] { return false; }, 1000);

    SearchWatch watch(chat->searchModel(), window, true,
        [] { return !TimeSlicedSearchModel::searchingModels().isEmpty(); });
    QObject::connect(&watch, &SearchWatch::finished, &app, &QCoreApplication::quit);
    watch.start();
    QTest::keyClick(window, Qt::Key_Return);
    if (docs->searchString() != QString::fromLocal8Bit(argv[1]))
        return fail("Return did not start the search");
    QTimer::singleShot(600000, &app, &QCoreApplication::quit);
    app.exec();

    printSearchFigures(watch.figures(), hitsIn(chat->searchModel()), pages);
    return 0;
}
