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
#include "searchwatch.h"
#include "timeslicedsearchmodel.h"

#include <QGuiApplication>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQmlPropertyMap>
#include <QQuickView>
#include <QTimer>
#include <QUrl>

#include <cstdio>
#include <memory>
#include <vector>

int main(int argc, char **argv)
{
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QQuickWindow::setGraphicsApi(QSGRendererInterface::OpenGL);
    QGuiApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench-search <word> <file.pdf>...\n");
        return 2;
    }
    keepOnlyCriticalMessages();

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

    SearchWatch watch(&tree, &view, shownView, searching);
    QObject::connect(&watch, &SearchWatch::finished, &app, &QCoreApplication::quit);
    const QString word = QString::fromLocal8Bit(argv[1]);
    watch.start();
    // As the document list does it: the documents first, then the tree.
    for (const auto &doc : docs)
        doc->pdfSearchModel()->setSearchString(word);
    tree.onSearchStringChanged(word);
    QTimer::singleShot(600000, &app, &QCoreApplication::quit);
    app.exec();

    const int hits = hitsIn(&tree);
    // The view reads the tree and the context objects to its end.
    view.setSource(QUrl());
    printSearchFigures(watch.figures(), hits, pages);
    return 0;
}
