// Searches one word in one or more PDFs, listed in the given order, through the documents' search
// models and the combined tree, with the real search view on screen, and prints, in milliseconds
// from the moment the text is set: the first hit in the tree, the last hit in the tree, the first
// frame after it, and the longest time the event loop went without a turn while the search
// ran; then how long after the last hit the GUI thread went idle for good (-1: still busy when the
// watch ended); then the hit and page counts of all documents.
//   bench-search <word> <file.pdf>...
// Prints one line: first last shown longestGap gapsOver50 idleAfterLast hits pages

#include "combinedsearchmodel.h"
#include "doc.h"
#include "timeslicedsearchmodel.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQmlPropertyMap>
#include <QQuickView>
#include <QTimer>
#include <QUrl>

#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

namespace {

// How long the GUI thread is watched once the search has ended (BENCH_SEARCH_WATCH_MS, to look
// at it with a profiler), in slices of SampleMs; a slice in which the thread ran for more than
// BusyShare of it counts as busy.
constexpr int DefaultWatchMs = 4000;
constexpr int SampleMs = 100;
constexpr double BusyShare = 0.1;

qint64 threadCpuMs()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QQuickWindow::setGraphicsApi(QSGRendererInterface::OpenGL);
    QGuiApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench-search <word> <file.pdf>...\n");
        return 2;
    }
    // QtPdf warns about every hit whose context differs from the word in letter case, and each
    // batch is logged; neither is what is measured, and writing them out would be.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type == QtCriticalMsg || type == QtFatalMsg)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });

    QObject list;
    CombinedSearchModel tree;
    std::vector<std::unique_ptr<Doc>> docs;
    int pages = 0;
    for (int arg = 2; arg < argc; ++arg) {
        auto doc = std::make_unique<Doc>(
            QUrl::fromLocalFile(QString::fromLocal8Bit(argv[arg])).toString(), &list);
        if (doc->pageCount() == 0) {
            std::fprintf(stderr, "bench-search: %s did not load\n", argv[arg]);
            return 1;
        }
        pages += doc->pageCount();
        QObject::connect(doc.get(), &Doc::pdfSearchResultsAdded, &tree,
            &CombinedSearchModel::onPdfSearchResultsAdded);
        docs.push_back(std::move(doc));
    }
    const auto searching = [&docs] {
        for (const auto &doc : docs) {
            if (qobject_cast<TimeSlicedSearchModel *>(doc->pdfSearchModel())->isSearching())
                return true;
        }
        return false;
    };

    // The search view as the program shows it, reading the tree through the same names.
    QQuickView view;
    view.engine()->addImportPath(QStringLiteral("qrc:/app/component_library"));
    QQmlPropertyMap chat;
    chat.insert(QStringLiteral("SearchModel"), QVariant::fromValue(&tree));
    QQmlPropertyMap docsMap;
    docsMap.insert(QStringLiteral("SearchString"), QString());
    view.rootContext()->setContextProperty(QStringLiteral("Chat"), &chat);
    view.rootContext()->setContextProperty(QStringLiteral("Docs"), &docsMap);
    view.setResizeMode(QQuickView::SizeRootObjectToView);
    view.resize(336, 725);
    view.setSource(QUrl(QStringLiteral("qrc:/app/Search/SearchView.qml")));
    if (view.status() != QQuickView::Ready) {
        std::fprintf(stderr, "bench-search: the search view did not load\n");
        return 1;
    }
    // Without the view, what the search and the tree cost alone.
    const bool shownView = qEnvironmentVariableIsEmpty("BENCH_SEARCH_NO_VIEW");
    if (shownView)
        view.show();
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 1000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);

    QElapsedTimer clock;
    qint64 firstHit = -1;
    qint64 lastHit = -1;
    qint64 shown = -1;
    qint64 previousTurn = 0;
    qint64 longestGap = 0;
    int gapsOver50 = 0;
    qint64 idleAfterLast = -1;
    QObject::connect(
        &tree, &QAbstractItemModel::rowsInserted, [&](const QModelIndex &parent, int, int) {
            if (!parent.isValid())
                return;
            lastHit = clock.elapsed();
            if (firstHit < 0)
                firstHit = lastHit;
            shown = -1;
        });
    QObject::connect(&view, &QQuickWindow::frameSwapped, [&] {
        if (shown < 0 && lastHit >= 0)
            shown = clock.elapsed();
    });
    QTimer heartbeat;
    heartbeat.setInterval(0);
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        const qint64 gap = now - previousTurn;
        longestGap = qMax(longestGap, gap);
        gapsOver50 += gap > 50;
        previousTurn = now;
    });

    // Once the search has ended: the thread's time in each slice, from the last hit on.
    const int watchMs = qEnvironmentVariableIsSet("BENCH_SEARCH_WATCH_MS")
        ? qEnvironmentVariableIntValue("BENCH_SEARCH_WATCH_MS")
        : DefaultWatchMs;
    QTimer watch;
    watch.setInterval(SampleMs);
    qint64 watchStart = 0;
    qint64 sliceStart = 0;
    qint64 sliceCpu = 0;
    qint64 lastBusyEnd = -1;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        const qint64 cpu = threadCpuMs();
        if (double(cpu - sliceCpu) > BusyShare * double(now - sliceStart))
            lastBusyEnd = now;
        sliceStart = now;
        sliceCpu = cpu;
        if (now - watchStart < watchMs)
            return;
        watch.stop();
        // Busy in the last slice: it had not calmed down by the end of the watch.
        if (lastBusyEnd < now)
            idleAfterLast = qMax<qint64>(0, (lastBusyEnd < 0 ? watchStart : lastBusyEnd) - lastHit);
        const QString picture = qEnvironmentVariable("BENCH_SEARCH_SCREENSHOT");
        if (!picture.isEmpty())
            view.grabWindow().save(picture);
        app.quit();
    });

    const QString word = QString::fromLocal8Bit(argv[1]);
    clock.start();
    heartbeat.start();
    // As the document list does it: the documents first, then the tree.
    for (const auto &doc : docs)
        doc->pdfSearchModel()->setSearchString(word);
    tree.onSearchStringChanged(word);
    QTimer::singleShot(0, [&] {
        QTimer *poll = new QTimer(&app);
        QObject::connect(poll, &QTimer::timeout, [&, poll] {
            if (searching())
                return;
            if (shownView && shown < 0) {
                // A last hit below the rows in sight changes no pixel and brings no frame alone.
                view.update();
                return;
            }
            poll->stop();
            // The heartbeat turns the loop without end; the watch needs it quiet.
            heartbeat.stop();
            watchStart = clock.elapsed();
            sliceStart = watchStart;
            sliceCpu = threadCpuMs();
            // What ran between the last hit and now counts as busy.
            lastBusyEnd = watchStart;
            watch.start();
        });
        poll->start(20);
    });
    QTimer::singleShot(600000, &app, &QCoreApplication::quit);
    app.exec();

    int hits = 0;
    for (int file = 0; file < tree.rowCount(); ++file)
        hits += tree.rowCount(tree.index(file, 0));

    // The view reads the tree and the context objects to its end.
    view.setSource(QUrl());
    std::printf("%lld %lld %lld %lld %d %lld %d %d\n", firstHit, lastHit, shown, longestGap,
        gapsOver50, idleAfterLast, hits, pages);
    return 0;
}
