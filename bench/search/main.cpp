// Searches one PDF for one word through the document's search model and the combined tree, with
// the real search view on screen, and prints, in milliseconds from the moment the text is set:
// the first hit in the tree, the last hit in the tree, the first frame that shows it, and the
// longest time the event loop went without a turn while the search ran. Then the hit count.
//   bench-search <file.pdf> <word>
// Prints one line: first last shown longestGap gapsOver50 hits pages

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

int main(int argc, char **argv)
{
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QQuickWindow::setGraphicsApi(QSGRendererInterface::OpenGL);
    QGuiApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench-search <file.pdf> <word>\n");
        return 2;
    }
    // QtPdf warns about every hit whose context differs from the word in letter case, and each
    // batch is logged; neither is what is measured, and writing them out would be.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type == QtCriticalMsg || type == QtFatalMsg)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });

    QObject list;
    Doc doc(QUrl::fromLocalFile(QString::fromLocal8Bit(argv[1])).toString(), &list);
    if (doc.pageCount() == 0) {
        std::fprintf(stderr, "bench-search: %s did not load\n", argv[1]);
        return 1;
    }
    CombinedSearchModel tree;
    QObject::connect(&doc, &Doc::pdfSearchResultsAdded, &tree,
        &CombinedSearchModel::onPdfSearchResultsAdded);

    // The search view as the program shows it, reading the tree through the same names.
    QQuickView view;
    view.engine()->addImportPath(QStringLiteral("qrc:/app/component_library"));
    QQmlPropertyMap chat;
    chat.insert(QStringLiteral("SearchModel"), QVariant::fromValue(&tree));
    QQmlPropertyMap docs;
    docs.insert(QStringLiteral("SearchString"), QString());
    view.rootContext()->setContextProperty(QStringLiteral("Chat"), &chat);
    view.rootContext()->setContextProperty(QStringLiteral("Docs"), &docs);
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

    auto *search = qobject_cast<TimeSlicedSearchModel *>(doc.pdfSearchModel());
    QElapsedTimer clock;
    qint64 firstHit = -1;
    qint64 lastHit = -1;
    qint64 shown = -1;
    qint64 previousTurn = 0;
    qint64 longestGap = 0;
    int gapsOver50 = 0;
    QObject::connect(&tree, &QAbstractItemModel::rowsInserted,
        [&](const QModelIndex &parent, int, int) {
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

    const QString word = QString::fromLocal8Bit(argv[2]);
    clock.start();
    heartbeat.start();
    // As the document list does it: the documents first, then the tree.
    doc.pdfSearchModel()->setSearchString(word);
    tree.onSearchStringChanged(word);
    QTimer::singleShot(0, [&] {
        QTimer *poll = new QTimer(&app);
        QObject::connect(poll, &QTimer::timeout, [&] {
            if (search->isSearching() || (shownView && shown < 0))
                return;
            // A picture of the listed hits, to look at.
            const QString picture = qEnvironmentVariable("BENCH_SEARCH_SCREENSHOT");
            if (!picture.isEmpty())
                view.grabWindow().save(picture);
            app.quit();
        });
        poll->start(20);
    });
    QTimer::singleShot(600000, &app, &QCoreApplication::quit);
    app.exec();

    const int hits = tree.rowCount() ? tree.rowCount(tree.index(0, 0)) : 0;

    // The view reads the tree and the context objects to its end.
    view.setSource(QUrl());
    std::printf("%lld %lld %lld %lld %d %d %d\n", firstHit, lastHit, shown, longestGap, gapsOver50,
        hits, doc.pageCount());
    return 0;
}
