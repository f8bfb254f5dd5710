#include "application.h"
#include "chat.h"
#include "combinedsearchmodel.h"
#include "demoprogram.h"
#include "doc.h"
#include "docdrop.h"
#include "doclist.h"
#include "llmclient.h"
#include "timeslicedsearchmodel.h"

#include "testpdf.h"
#include "viewerpixels.h"

#include <folioscope/folioscope.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QPdfDocument>
#include <QPdfSearchModel>
#include <QPdfView>
#include <QQuickItem>
#include <QQuickWindow>
#include <QScrollBar>
#include <QTimer>
#include <QSignalSpy>
#include <QtTest>

#include <algorithm>

using namespace UiTestEnvironment;
using namespace ViewerPixels;

namespace {

const QString word = QStringLiteral("harbour");
constexpr int quayPages = 80;

} // namespace

// The search view in the real window over documents ingested by the real scrivex and oraculd:
// typing, the tree of hits, collapsing, and a click that shows the hit in the viewer window.
class tst_SearchView : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void ctrlFOpensTheSearchView();
    void onlyThreeCharactersOrMoreSearch_data();
    void onlyThreeCharactersOrMoreSearch();
    void showsTheHitsOfTwoDocuments();
    void searchAskedForAgainFocusesTheShownField();
    void collapsedDocumentsKeepTheExpandedRows();
    void clickedHitOpensTheViewerWithAllHitsPainted();
    void labelsStandSideBySideInReusedRows();
    void emptyingTheFieldEmptiesTheTree();
    void removedDocumentLeavesTheTreeWhileItsSearchRuns();
    void leadingDotsUnlessTheTextBeforeIsCut_data();
    void leadingDotsUnlessTheTextBeforeIsCut();
    void documentListedDuringASearchShowsItsHits();

private:
    QQuickItem *currentView() const;
    QObject *stack() const;
    QQuickItem *field() const;
    QQuickItem *tree() const;
    // The delegate that shows this displayed row, and the texts of its visible labels.
    QQuickItem *shownRow(int row) const;
    QString rowText(int row) const;
    int shownRows() const;
    void click(QQuickItem *item);
    void typeIntoField(const QString &text);
    void clearField();
    void openSearchView();
    // Until the stack has ended its transition, and until a frame shows the scene as it is now.
    void waitForTheStack();
    // Dropped on the document view, which ingests it.
    void listDocument(const QString &url);
    void waitForAFrame();
    QRect inViewer(int page, const QRectF &points) const;

    QQuickWindow *window = nullptr;
    Chat *chat = nullptr;
    DocList *docs = nullptr;
    CombinedSearchModel *hits = nullptr;
    Folioscope *viewer = nullptr;
    QPdfView *view = nullptr;
    QString roadUrl;
    QString notesUrl;
    QString longUrl;
    QString quayUrl;
};

void tst_SearchView::initTestCase()
{
    window = mainWindow();
    QVERIFY(window);
    QVERIFY(QTest::qWaitForWindowExposed(window));
    // Window shortcuts and typing need the active window; Xvfb has no window manager to give it.
    window->requestActivate();
    QVERIFY(QTest::qWaitForWindowActive(window));
    chat = qApp->findChild<Chat *>();
    QVERIFY(chat);
    docs = chat->docs();
    hits = chat->searchModel();
    QCOMPARE(chat->property("SearchModel").value<CombinedSearchModel *>(), hits);
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *found = qobject_cast<Folioscope *>(widget))
            viewer = found;
    }
    QVERIFY(viewer);
    view = viewer->findChild<QPdfView *>();
    QVERIFY(view);
    qRegisterMetaType<QPdfSearchModel *>();

    auto *socket = chat->llmClient()->findChild<QLocalSocket *>();
    QVERIFY(socket);
    QTRY_COMPARE_WITH_TIMEOUT(socket->state(), QLocalSocket::ConnectedState, 60000);

    // Three hits on two pages, one of them after a line with markup characters; one hit in the
    // second document.
    TestPdf road;
    road.addPage(QSizeF(612, 792));
    road.addPage(QSizeF(612, 792));
    // A context wider than the row, cut off at its right edge.
    road.addText(0, { 72, 106 },
        QStringLiteral("Fishing boats, ferries, yachts and small rowing dinghies of all kinds."));
    road.addText(0, { 72, 120 }, QStringLiteral("Boats rest in the harbour at night."));
    road.addText(1, { 72, 120 }, QStringLiteral("Gulls watch a < b & <b>c</b> closely."));
    road.addText(1, { 72, 134 }, QStringLiteral("The harbour master counts the boats."));
    road.addText(1, { 72, 400 }, QStringLiteral("Nets dry on the harbour wall."));
    const QString roadPath = privateRoot() + QStringLiteral("/road.pdf");
    QVERIFY(road.write(roadPath));
    roadUrl = QUrl::fromLocalFile(roadPath).toString();

    TestPdf notes;
    notes.addPage(QSizeF(612, 792));
    notes.addText(0, { 72, 100 }, QStringLiteral("Gardeners walk to the harbour in autumn."));
    const QString notesPath = privateRoot() + QStringLiteral("/notes.pdf");
    QVERIFY(notes.write(notesPath));
    notesUrl = QUrl::fromLocalFile(notesPath).toString();

    TestPdf longer;
    for (int page = 0; page < 600; ++page) {
        longer.addPage(QSizeF(612, 792));
        for (int line = 0; line < 30; ++line) {
            longer.addText(page, { 72, 80.0 + line * 20 },
                QStringLiteral("Page %1 line %2 by the harbour with words around it.")
                    .arg(page)
                    .arg(line));
        }
    }
    const QString longPath = privateRoot() + QStringLiteral("/long.pdf");
    QVERIFY(longer.write(longPath));
    longUrl = QUrl::fromLocalFile(longPath).toString();

    // The word after a long text on the first pages, at the very start of the page on the rest.
    TestPdf quay;
    for (int page = 0; page < quayPages; ++page) {
        quay.addPage(QSizeF(612, 792));
        if (page < quayPages / 2) {
            quay.addText(page, { 72, 100 },
                QStringLiteral("Fishing boats, ferries and rowing dinghies of all kinds moor at "
                               "the jetty."));
        } else {
            quay.addText(page, { 72, 100 }, QStringLiteral("Jetty lamps glow at dusk."));
        }
    }
    const QString quayPath = privateRoot() + QStringLiteral("/quay.pdf");
    QVERIFY(quay.write(quayPath));
    quayUrl = QUrl::fromLocalFile(quayPath).toString();

    QVERIFY(DocDrop::dropUrls(window, findItem(currentView(), QStringLiteral("docListView")),
        { QUrl(roadUrl), QUrl(notesUrl) }));
    QTRY_COMPARE_WITH_TIMEOUT(docs->rowCount(), 2, 60000);
}

QQuickItem *tst_SearchView::currentView() const
{
    QObject *mainStack = stack();
    return mainStack ? mainStack->property("currentItem").value<QQuickItem *>() : nullptr;
}

QObject *tst_SearchView::stack() const
{
    return findObject(window, QStringLiteral("mainStack"));
}

QQuickItem *tst_SearchView::field() const
{
    return findItem(currentView(), QStringLiteral("searchField"));
}

QQuickItem *tst_SearchView::tree() const
{
    return findItem(currentView(), QStringLiteral("resultsView"));
}

QQuickItem *tst_SearchView::shownRow(int row) const
{
    QQuickItem *item = nullptr;
    QMetaObject::invokeMethod(
        tree(), "itemAtCell", Q_RETURN_ARG(QQuickItem *, item), Q_ARG(QPoint, QPoint(0, row)));
    return item;
}

QString tst_SearchView::rowText(int row) const
{
    QQuickItem *item = shownRow(row);
    if (!item)
        return QString();
    QString text;
    QList<QQuickItem *> labels = item->childItems().first()->childItems().first()->childItems();
    for (QQuickItem *label : labels) {
        if (label->isVisible())
            text += label->property("text").toString();
    }
    return text;
}

int tst_SearchView::shownRows() const
{
    return tree()->property("rows").toInt();
}

void tst_SearchView::click(QQuickItem *item)
{
    QVERIFY(item);
    // The left part of a row: its labels start there, whatever their length.
    const QPointF at = item->mapToScene(QPointF(qMin(item->width() / 2, 40.0), item->height() / 2));
    QTest::mouseClick(window, Qt::LeftButton, Qt::NoModifier, at.toPoint());
}

void tst_SearchView::typeIntoField(const QString &text)
{
    QTRY_VERIFY(field() && field()->hasActiveFocus());
    for (const QChar c : text)
        QTest::keyClick(window, c.toLatin1());
    QCOMPARE(field()->property("text").toString().right(text.size()), text);
}

void tst_SearchView::clearField()
{
    QTRY_VERIFY(field()->hasActiveFocus());
    QTest::keyClick(window, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(window, Qt::Key_Backspace);
    QCOMPARE(field()->property("text").toString(), QString());
}

void tst_SearchView::openSearchView()
{
    if (currentView()->objectName() != QLatin1String("searchView")) {
        QTest::keyClick(window, Qt::Key_F, Qt::ControlModifier);
        QTRY_COMPARE(currentView()->objectName(), QStringLiteral("searchView"));
        waitForTheStack();
    }
}

void tst_SearchView::waitForTheStack()
{
    QObject *stack = findObject(window, QStringLiteral("mainStack"));
    QVERIFY(stack);
    QTRY_VERIFY(!stack->property("busy").toBool());
}

void tst_SearchView::listDocument(const QString &url)
{
    click(findItem(currentView(), QStringLiteral("docButton")));
    QTRY_COMPARE(currentView()->objectName(), QStringLiteral("docView"));
    waitForTheStack();
    QVERIFY(DocDrop::dropUrls(
        window, findItem(currentView(), QStringLiteral("docListView")), { QUrl(url) }));
}

void tst_SearchView::waitForAFrame()
{
    // Layouts settle in the polish before a frame is drawn.
    QSignalSpy frames(window, &QQuickWindow::frameSwapped);
    window->update();
    QVERIFY(frames.wait(10000));
}

QRect tst_SearchView::inViewer(int page, const QRectF &points) const
{
    return ViewerPixels::inViewer(viewer, view, page, points);
}

void tst_SearchView::ctrlFOpensTheSearchView()
{
    QCOMPARE(currentView()->objectName(), QStringLiteral("docView"));
    openSearchView();
    QVERIFY(field());
    QTRY_VERIFY(field()->hasActiveFocus());
    QCOMPARE(field()->property("placeholderText").toString(), QStringLiteral("Enter search term"));
    QCOMPARE(stack()->property("depth").toInt(), 2);
}

void tst_SearchView::onlyThreeCharactersOrMoreSearch_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("confirm");
    QTest::addColumn<bool>("searches");
    QTest::newRow("two and Return") << "ha"
                                    << "return" << false;
    QTest::newRow("two and the button") << "ha"
                                        << "button" << false;
    QTest::newRow("three and Return") << "har"
                                      << "return" << true;
    QTest::newRow("three and keypad Enter") << "bar"
                                            << "enter" << true;
    QTest::newRow("three and the button") << "boa"
                                          << "button" << true;
    QTest::newRow("typed, not confirmed") << "master"
                                          << "" << false;
}

void tst_SearchView::onlyThreeCharactersOrMoreSearch()
{
    QFETCH(QString, text);
    QFETCH(QString, confirm);
    QFETCH(bool, searches);
    openSearchView();
    clearField();
    QCOMPARE(docs->searchString(), QString());
    typeIntoField(text);
    if (confirm == QLatin1String("return"))
        QTest::keyClick(window, Qt::Key_Return);
    else if (confirm == QLatin1String("enter"))
        QTest::keyClick(window, Qt::Key_Enter, Qt::KeypadModifier);
    else if (confirm == QLatin1String("button"))
        click(findItem(currentView(), QStringLiteral("searchButton")));
    QCOMPARE(docs->searchString(), searches ? text : QString());
    QCOMPARE(docs->property("SearchString").toString(), docs->searchString());
}

void tst_SearchView::showsTheHitsOfTwoDocuments()
{
    openSearchView();
    clearField();
    typeIntoField(word);
    QTest::keyClick(window, Qt::Key_Return);
    QCOMPARE(docs->searchString(), word);
    // road.pdf: the file row and three hits; notes.pdf: the file row and one hit.
    QTRY_COMPARE(shownRows(), 6);
    QCOMPARE(hits->rowCount(), 2);
    QCOMPARE(rowText(0), QStringLiteral("\u25BC  road.pdf"));
    QCOMPARE(rowText(4), QStringLiteral("\u25BC  notes.pdf"));

    // The first page shows as page 1, the search text between the contexts and the dots.
    const QModelIndex firstHit = hits->index(0, 0, hits->index(0, 0));
    const QString before = firstHit.data(CombinedSearchModel::ContextBeforeRole)
                               .toString()
                               .replace(QChar(0x23CE), QLatin1Char(' '));
    const QString after = firstHit.data(CombinedSearchModel::ContextAfterRole).toString();
    // Its long text before the hit is cut at its start, which then shows its own ellipsis in
    // place of the leading dots.
    QVERIFY(findItem(shownRow(1), QStringLiteral("contextBeforeLabel"))
                ->property("truncated")
                .toBool());
    QCOMPARE(
        rowText(1), QStringLiteral("Page 1: ") + before + word + after + QStringLiteral("..."));
    QVERIFY(rowText(1).contains(QStringLiteral("Boats rest in the harbour at night.")));

    // Line breaks in a context show as blanks; markup characters show as themselves.
    const QModelIndex secondHit = hits->index(1, 0, hits->index(0, 0));
    const QString rawBefore = secondHit.data(CombinedSearchModel::ContextBeforeRole).toString();
    QVERIFY2(rawBefore.contains(QChar(0x23CE)), qPrintable(rawBefore));
    QVERIFY(rowText(2).startsWith(QStringLiteral("Page 2: ")));
    QVERIFY2(!rowText(2).contains(QChar(0x23CE)), qPrintable(rowText(2)));
    QVERIFY2(rowText(2).contains(QStringLiteral("a < b & <b>c</b> closely. The ")),
        qPrintable(rowText(2)));
    QQuickItem *markup = findItem(shownRow(2), QStringLiteral("contextBeforeLabel"));
    QCOMPARE(markup->property("textFormat").toInt(), 0); // Text.PlainText
    QCOMPARE(findItem(shownRow(2), QStringLiteral("searchStringLabel"))
                 ->property("font")
                 .value<QFont>()
                 .bold(),
        true);

    waitForAFrame();
    const QImage shot = saveScreenshot(window, QStringLiteral("search-two-documents"));
    QVERIFY(!shot.isNull());
}

// Ctrl+F, or the search button of the view below pressed again while the stack still slides,
// take the keys back to the shown search instead of stacking copies that each build the rows of
// every hit again.
void tst_SearchView::searchAskedForAgainFocusesTheShownField()
{
    QTRY_COMPARE(shownRows(), 6);
    QQuickItem *shown = currentView();
    QCOMPARE(shown->objectName(), QStringLiteral("searchView"));
    const int depth = stack()->property("depth").toInt();
    QList<QQuickItem *> docViews = findItems(window->contentItem(), QStringLiteral("docView"));
    QVERIFY(!docViews.isEmpty());
    QQuickItem *docSearchButton = findItem(docViews.first(), QStringLiteral("searchButton"));
    QVERIFY(docSearchButton);

    // The longest time the event loop goes without a turn, a press and what it sets off
    // included.
    QElapsedTimer clock;
    qint64 lastTurn = 0;
    qint64 longestGap = 0;
    int turnsTaken = 0;
    QTimer turns;
    turns.setInterval(0);
    connect(&turns, &QTimer::timeout, this, [&] {
        const qint64 now = clock.elapsed();
        longestGap = qMax(longestGap, now - lastTurn);
        lastTurn = now;
        ++turnsTaken;
    });
    clock.start();
    turns.start();
    for (int press = 0; press < 10; ++press) {
        tree()->forceActiveFocus();
        QVERIFY(!field()->hasActiveFocus());
        const int turnsBefore = turnsTaken;
        if (press % 2 == 0)
            QTest::keyClick(window, Qt::Key_F, Qt::ControlModifier);
        else
            QVERIFY(QMetaObject::invokeMethod(docSearchButton, "clicked"));
        QTRY_VERIFY(field()->hasActiveFocus() && turnsTaken > turnsBefore);
    }
    waitForTheStack();
    waitForAFrame();
    turns.stop();
    qInfo("longest event-loop gap over ten presses: %lld ms", longestGap);
    QCOMPARE(stack()->property("depth").toInt(), depth);
    QCOMPARE(currentView(), shown);
    QCOMPARE(field()->property("text").toString(), word);
    QCOMPARE(shownRows(), 6);
    QVERIFY2(longestGap < 100, qPrintable(QString::number(longestGap)));
}

void tst_SearchView::collapsedDocumentsKeepTheExpandedRows()
{
    QCOMPARE(shownRows(), 6);
    QQuickItem *arrow = findItem(shownRow(0), QStringLiteral("expandArrow"));
    QCOMPARE(arrow->property("text").toString(), QStringLiteral("\u25BC  "));
    QCOMPARE(arrow->property("font").value<QFont>().pixelSize(), 10);

    click(shownRow(0));
    QTRY_COMPARE(shownRows(), 3);
    arrow = findItem(shownRow(0), QStringLiteral("expandArrow"));
    QCOMPARE(arrow->property("text").toString(), QStringLiteral("\u25B6  "));
    QCOMPARE(arrow->property("font").value<QFont>().pixelSize(), 16);
    QCOMPARE(rowText(1), QStringLiteral("\u25BC  notes.pdf"));
    saveScreenshot(window, QStringLiteral("search-collapsed"));

    // Shown as row 2, handed over as row 5 of the tree with every document expanded.
    QSignalSpy clicked(hits, &CombinedSearchModel::searchItemClicked);
    click(shownRow(2));
    QCOMPARE(clicked.size(), 1);
    QCOMPARE(clicked.first().at(1).toString(), QStringLiteral("notes.pdf"));
    QCOMPARE(clicked.first().at(2).toInt(), 0);
    QCOMPARE(clicked.first().at(0).value<QPdfSearchModel *>(),
        docs->data(docs->index(1), DocList::DocObjectRole).value<Doc *>()->pdfSearchModel());
    QTRY_VERIFY(viewer->isVisible());
    QCOMPARE(viewer->windowTitle(), QStringLiteral("notes.pdf"));
    viewer->hide();
    window->requestActivate();
    QVERIFY(QTest::qWaitForWindowActive(window));

    click(shownRow(0));
    QTRY_COMPARE(shownRows(), 6);
    arrow = findItem(shownRow(0), QStringLiteral("expandArrow"));
    QCOMPARE(arrow->property("text").toString(), QStringLiteral("\u25BC  "));
    QCOMPARE(arrow->property("font").value<QFont>().pixelSize(), 10);
    QCOMPARE(clicked.size(), 1);
}

void tst_SearchView::clickedHitOpensTheViewerWithAllHitsPainted()
{
    Doc *road = docs->data(docs->index(0), DocList::DocObjectRole).value<Doc *>();
    QPdfSearchModel *roadHits = road->pdfSearchModel();
    QCOMPARE(roadHits->rowCount({}), 3);

    // The last hit, at the foot of the second page's text.
    QSignalSpy clicked(hits, &CombinedSearchModel::searchItemClicked);
    click(shownRow(3));
    QCOMPARE(clicked.size(), 1);
    QCOMPARE(clicked.first().at(2).toInt(), 2);
    QTRY_VERIFY(viewer->isVisible());
    QCOMPARE(viewer->windowTitle(), QStringLiteral("road.pdf"));
    QCOMPARE(view->document(), road->pdfDocument());

    // Pages render in the background: wait until the clicked hit shows painted over its line.
    const QPdfLink clickedHit = roadHits->resultAtIndex(2);
    QCOMPARE(clickedHit.page(), 1);
    const QRectF hitPoints = clickedHit.rectangles().first();
    QImage shot;
    const auto count = [&shot](const QRect &box, bool (*test)(QRgb)) {
        int n = 0;
        for (int y = box.top(); y <= box.bottom(); ++y)
            for (int x = box.left(); x <= box.right(); ++x)
                n += shot.rect().contains(x, y) && test(shot.pixel(x, y));
        return n;
    };
    const auto blueIn = [&count](const QRect &box) { return count(box, isBluish); };
    QRect clickedBox;
    QVERIFY(QTest::qWaitFor(
        [&] {
            shot = viewer->grab().toImage().convertToFormat(QImage::Format_RGB32);
            clickedBox = inViewer(1, hitPoints);
            const QRect lineStart = inViewer(
                1, QRectF(72, hitPoints.top(), hitPoints.left() - 72, hitPoints.height()));
            return blueIn(clickedBox) > clickedBox.width() * clickedBox.height() / 2
                && count(lineStart, isInk) > 50;
        },
        10000));
    const QString folder = qEnvironmentVariable("QUORVANE_TEST_OUTPUT");
    if (!folder.isEmpty())
        shot.save(QDir(folder).filePath(QStringLiteral("search-hit-in-viewer.png")));
    // Scrolled to the clicked hit, which is in view.
    QVERIFY(view->verticalScrollBar()->value() > pageTop(1) - 100);
    QVERIFY(view->viewport()->geometry().contains(clickedBox));

    // Every hit of the search is painted, and nothing else is.
    QList<QRect> boxes;
    for (int i = 0; i < roadHits->rowCount({}); ++i) {
        const QPdfLink hit = roadHits->resultAtIndex(i);
        for (const QRectF &rect : hit.rectangles())
            boxes.append(inViewer(hit.page(), rect));
    }
    const QRect shown = view->viewport()->geometry();
    int paintedBoxes = 0;
    for (const QRect &box : std::as_const(boxes)) {
        if (!shown.contains(box))
            continue;
        ++paintedBoxes;
        QVERIFY2(blueIn(box) > box.width() * box.height() / 2,
            qPrintable(QStringLiteral("hit at %1,%2 unpainted").arg(box.x()).arg(box.y())));
    }
    QVERIFY(paintedBoxes >= 2);
    int stray = 0;
    for (int y = shown.top(); y <= shown.bottom(); ++y) {
        for (int x = shown.left(); x <= shown.right(); ++x) {
            if (!isBluish(shot.pixel(x, y)))
                continue;
            const bool inHit = std::any_of(boxes.cbegin(), boxes.cend(),
                [x, y](const QRect &box) { return box.adjusted(-1, -1, 1, 1).contains(x, y); });
            stray += !inHit;
        }
    }
    QCOMPARE(stray, 0);
    viewer->hide();
    window->requestActivate();
    QVERIFY(QTest::qWaitForWindowActive(window));
}

void tst_SearchView::labelsStandSideBySideInReusedRows()
{
    // The rows of the last search are reused; the hit at the start of notes.pdf has no text
    // before it.
    click(field());
    QTRY_VERIFY(field()->hasActiveFocus());
    clearField();
    typeIntoField(QStringLiteral("gardeners"));
    QTest::keyClick(window, Qt::Key_Return);
    QTRY_COMPARE(shownRows(), 2);
    const QModelIndex hit = hits->index(0, 0, hits->index(0, 0));
    QCOMPARE(hit.data(CombinedSearchModel::ContextBeforeRole).toString(), QString());
    QTRY_VERIFY(rowText(1).startsWith(QStringLiteral("Page 1: ...gardeners walk to the harbour")));
    // Each shown label starts where the one before it ends; an empty one takes no room.
    const auto sideBySide = [this] {
        for (int row = 0; row < shownRows(); ++row) {
            qreal x = 0;
            const QList<QQuickItem *> labels
                = shownRow(row)->childItems().first()->childItems().first()->childItems();
            for (QQuickItem *label : labels) {
                if (!label->isVisible() || label->width() == 0)
                    continue;
                if (qAbs(label->x() - x) > 0.5)
                    return false;
                x += label->width();
            }
        }
        return true;
    };
    QTRY_VERIFY(sideBySide());
    // And they stay so once the rows are drawn.
    waitForAFrame();
    QVERIFY(sideBySide());
    saveScreenshot(window, QStringLiteral("search-reused-rows"));
}

void tst_SearchView::emptyingTheFieldEmptiesTheTree()
{
    QVERIFY(hits->rowCount() > 0);
    click(field());
    QTRY_VERIFY(field()->hasActiveFocus());
    QTest::keyClick(window, Qt::Key_End);
    // Deleting the last character is enough; no Return is needed.
    const int length = field()->property("text").toString().size();
    for (int i = 0; i < length; ++i)
        QTest::keyClick(window, Qt::Key_Backspace);
    QCOMPARE(docs->searchString(), QString());
    QCOMPARE(hits->rowCount(), 0);
    QTRY_COMPARE(shownRows(), 0);
}

void tst_SearchView::removedDocumentLeavesTheTreeWhileItsSearchRuns()
{
    // A long document, searched last, whose search still runs when it leaves the list.
    listDocument(longUrl);
    QTRY_COMPARE_WITH_TIMEOUT(docs->rowCount(), 3, 120000);
    Doc *longDoc = docs->data(docs->index(2), DocList::DocObjectRole).value<Doc *>();
    QCOMPARE(longDoc->name(), QStringLiteral("long.pdf"));
    auto *longSearch = qobject_cast<TimeSlicedSearchModel *>(longDoc->pdfSearchModel());
    QVERIFY(longSearch);

    openSearchView();
    typeIntoField(word);
    QSignalSpy reported(longDoc, &Doc::pdfSearchResultsAdded);
    QTest::keyClick(window, Qt::Key_Return);
    QVERIFY(reported.wait(10000));
    QVERIFY(longSearch->isSearching());
    QTRY_COMPARE(hits->rowCount(), 3);

    // As the back end's confirmation of the delete does it.
    QPointer<TimeSlicedSearchModel> guard(longSearch);
    docs->delData(2);
    QVERIFY(!guard || !guard->isSearching());
    QCOMPARE(hits->rowCount(), 2);
    // No search is left that could bring its hits back.
    QTRY_VERIFY(TimeSlicedSearchModel::searchingModels().isEmpty());
    QCOMPARE(hits->rowCount(), 2);
    for (int row = 0; row < hits->rowCount(); ++row)
        QVERIFY(hits->index(row, 0).data(CombinedSearchModel::FilePathRole).toString() != longUrl);
    QTRY_COMPARE(shownRows(), 6);
    saveScreenshot(window, QStringLiteral("search-after-removal"));
}

void tst_SearchView::leadingDotsUnlessTheTextBeforeIsCut_data()
{
    QTest::addColumn<bool>("scrolled");
    QTest::newRow("rows as first shown") << false;
    // Rows that showed a cut text come back for rows with none.
    QTest::newRow("reused rows at the end of the list") << true;
}

void tst_SearchView::leadingDotsUnlessTheTextBeforeIsCut()
{
    QFETCH(bool, scrolled);
    if (docs->rowCount() == 2) {
        listDocument(quayUrl);
        QTRY_COMPARE_WITH_TIMEOUT(docs->rowCount(), 3, 120000);
        openSearchView();
        click(field());
        clearField();
        typeIntoField(QStringLiteral("jetty"));
        QTest::keyClick(window, Qt::Key_Return);
    }
    QTRY_COMPARE(shownRows(), 1 + quayPages);
    QCOMPARE(rowText(0), QStringLiteral("\u25BC  quay.pdf"));
    if (scrolled) {
        QTRY_VERIFY([this] {
            tree()->setProperty(
                "contentY", tree()->property("contentHeight").toReal() - tree()->height());
            return shownRow(quayPages) != nullptr;
        }());
    }

    // One ellipsis before the text: the cut text's own, or the dots before a whole one. The
    // first half of the pages has a long text before the hit, the rest none.
    const auto asExpected = [&](int row) {
        QQuickItem *before = findItem(shownRow(row), QStringLiteral("contextBeforeLabel"));
        QQuickItem *dots = findItem(shownRow(row), QStringLiteral("leadingDots"));
        if (!before || !dots)
            return false;
        const bool cut = row <= quayPages / 2;
        const bool isCut = before->width() + 0.5 < before->implicitWidth();
        return isCut == cut && dots->isVisible() == !cut
            && rowText(row).startsWith(QStringLiteral("Page %1: %2")
                                           .arg(row)
                                           .arg(cut ? QString() : QStringLiteral("...")));
    };
    int checked = 0;
    for (int row = 1; row <= quayPages; ++row) {
        if (!shownRow(row))
            continue;
        ++checked;
        QTRY_VERIFY2(
            asExpected(row), qPrintable(QString::number(row) + QLatin1Char(' ') + rowText(row)));
    }
    QVERIFY(checked >= 10);
    waitForAFrame();
    saveScreenshot(
        window, QStringLiteral("search-leading-dots-%1").arg(scrolled ? "scrolled" : "top"));
}

// Hits of a document listed while a text is searched join the tree without a new search.
void tst_SearchView::documentListedDuringASearchShowsItsHits()
{
    openSearchView();
    click(field());
    clearField();
    typeIntoField(word);
    QTest::keyClick(window, Qt::Key_Return);
    QCOMPARE(docs->searchString(), word);
    QTRY_COMPARE(shownRows(), 6);
    const int listed = docs->rowCount();

    TestPdf pier;
    pier.addPage(QSizeF(612, 792));
    pier.addText(0, { 72, 100 }, QStringLiteral("A pier stands in the harbour."));
    pier.addPage(QSizeF(612, 792));
    pier.addText(1, { 72, 100 }, QStringLiteral("The harbour lights come on."));
    const QString pierPath = privateRoot() + QStringLiteral("/pier.pdf");
    QVERIFY(pier.write(pierPath));
    listDocument(QUrl::fromLocalFile(pierPath).toString());
    QTRY_COMPARE_WITH_TIMEOUT(docs->rowCount(), listed + 1, 60000);

    // Back in the search, nothing typed: the field still holds the text, and the new document
    // shows under its own file row with both its hits.
    QTest::keyClick(window, Qt::Key_F, Qt::ControlModifier);
    QTRY_COMPARE(currentView()->objectName(), QStringLiteral("searchView"));
    waitForTheStack();
    QCOMPARE(field()->property("text").toString(), word);
    QTRY_COMPARE(shownRows(), 9);
    QCOMPARE(hits->rowCount(), 3);
    QCOMPARE(rowText(6), QStringLiteral("\u25BC  pier.pdf"));
    QVERIFY(rowText(7).startsWith(QStringLiteral("Page 1: ")));
    QVERIFY(rowText(8).startsWith(QStringLiteral("Page 2: ")));
    waitForAFrame();
    saveScreenshot(window, QStringLiteral("search-document-listed-later"));
}

int main(int argc, char **argv)
{
    // No online service in these cases; the window's WebSocket finds nobody.
    return runInDemoProgram<tst_SearchView>(argc, argv);
}

#include "tst_searchview.moc"
