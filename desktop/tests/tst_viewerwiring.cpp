#include "application.h"
#include "chat.h"
#include "chatlist.h"
#include "combinedsearchmodel.h"
#include "demoprogram.h"
#include "doc.h"
#include "docdrop.h"
#include "doclist.h"
#include "llmclient.h"
#include "message.h"
#include "user.h"

#include "testpdf.h"
#include "viewerpixels.h"

#include <folioscope/folioscope.h>
#include <tessellum/chunk.h>

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QPdfDocument>
#include <QPdfView>
#include <QProcess>
#include <QQuickItem>
#include <QQuickWindow>
#include <QScrollBar>
#include <QSignalSpy>
#include <QtTest>

#include <algorithm>

using namespace UiTestEnvironment;
using namespace ViewerPixels;

namespace {

const QString lighthouseQuestion
    = QStringLiteral("What does the lighthouse keeper feed the seagulls?");
const QString bakeryQuestion = QStringLiteral("Which bread does the baker bake at the bakery?");

} // namespace

// The viewer window as the document list and the chat drive it: the whole road from a dropped
// PDF over a question and its reference to the highlighted passage, in the real window with the
// real oraculd, scrivex and demo models.
class tst_ViewerWiring : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void dropListsTheDocument();
    void doubleClickOpensTheViewerWithoutHighlight();
    void referenceOpensItsPassageHighlighted_data();
    void referenceOpensItsPassageHighlighted();
    void doubleClickEmptiesTheHighlight();
    void closingTheMainWindowClosesTheViewer();
    void doubleClickOnAnotherDocumentOpensItsFirstPage();
    void deletingAnotherDocumentKeepsTheViewer();
    void deletingTheShownDocumentClosesTheViewer();
    void referenceToADepartedDocument_data();
    void referenceToADepartedDocument();
    void changedFileShowsTheDocumentAsListed_data();
    void changedFileShowsTheDocumentAsListed();

private:
    QQuickItem *currentView() const;
    QQuickItem *row(QQuickItem *listView, int index) const;
    QQuickItem *docRow(const QString &name) const;
    void waitForStack();
    void showDocuments();
    void showChat();
    void ask(const QString &question);
    // The road document: two pages, the known paragraphs, one link.
    bool writeRoad(const QString &path);
    QQuickItem *firstReference(int answerRow);
    int redUnderLink(const QImage &shot) const;
    QRect inViewer(int page, const QRectF &points) const;
    QImage shootViewer(const QString &name, const QRectF &inkArea, int page);
    // Bluish pixels of the viewport inside `box`, and outside it beyond a pixel of slack.
    void countBlue(const QImage &shot, const QRect &box, int *inside, int *outside) const;
    // More than half of `highlight` is blue in the shot and, when `alone`, nothing else is.
    void verifyHighlight(const QImage &shot, const QRect &highlight, bool alone) const;

    QQuickWindow *window = nullptr;
    Chat *chat = nullptr;
    DocList *docs = nullptr;
    ChatList *messages = nullptr;
    Folioscope *viewer = nullptr;
    QPdfView *view = nullptr;
    QString roadUrl;
    QString notesUrl;
    int lighthouseAnswerRow = -1;
    QRectF lighthouse; // page 1
    QRectF mountains; // page 1
    QRectF bakery; // page 0
    QRectF tulips; // notes.pdf, page 0
    const QRectF harbourLink { 72, 700, 200, 14 }; // page 0
};

void tst_ViewerWiring::initTestCase()
{
    window = mainWindow();
    QVERIFY(window);
    QVERIFY(QTest::qWaitForWindowExposed(window));
    chat = qApp->findChild<Chat *>();
    QVERIFY(chat);
    docs = chat->docs();
    messages = chat->openedChatUser()->messages();
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *found = qobject_cast<Folioscope *>(widget))
            viewer = found;
    }
    QVERIFY(viewer);
    QVERIFY(!viewer->isVisible());
    view = viewer->findChild<QPdfView *>();
    qRegisterMetaType<QPdfDocument *>();
    QVERIFY(view);

    auto *socket = chat->llmClient()->findChild<QLocalSocket *>();
    QVERIFY(socket);
    QTRY_COMPARE_WITH_TIMEOUT(socket->state(), QLocalSocket::ConnectedState, 60000);

    const QString roadPath = privateRoot() + QStringLiteral("/road.pdf");
    QVERIFY(writeRoad(roadPath));
    roadUrl = QUrl::fromLocalFile(roadPath).toString();

    // Pages enough to scroll in.
    TestPdf notes;
    for (int page = 0; page < 3; ++page)
        notes.addPage(QSizeF(612, 792));
    tulips = notes.addText(0, { 72, 100 }, QStringLiteral("Gardeners plant tulips in autumn."));
    const QString notesPath = privateRoot() + QStringLiteral("/notes.pdf");
    QVERIFY(notes.write(notesPath));
    notesUrl = QUrl::fromLocalFile(notesPath).toString();
}

bool tst_ViewerWiring::writeRoad(const QString &path)
{
    // Two paragraphs of two lines on each page; the known sentence opens the second page.
    TestPdf road;
    road.addPage(QSizeF(612, 792));
    road.addPage(QSizeF(612, 792));
    road.addText(0, { 72, 90 }, QStringLiteral("Harbour notes"), 20);
    bakery = road.addText(0, { 72, 600 }, QStringLiteral("The baker bakes rye bread at the"))
                 .united(road.addText(
                     0, { 72, 614 }, QStringLiteral("village bakery before the sun rises.")));
    lighthouse
        = road.addText(1, { 72, 120 }, QStringLiteral("The lighthouse keeper feeds the seagulls"))
              .united(road.addText(
                  1, { 72, 134 }, QStringLiteral("fresh sardines from a bucket on the pier.")));
    mountains
        = road.addText(1, { 72, 300 }, QStringLiteral("Mountain trains climb the steep valley"))
              .united(road.addText(
                  1, { 72, 314 }, QStringLiteral("and stop at every station in winter.")));
    road.addLink(0, harbourLink, QStringLiteral("https://harbour.invalid/"));
    return road.write(path);
}

QQuickItem *tst_ViewerWiring::currentView() const
{
    QObject *stack = findObject(window, QStringLiteral("mainStack"));
    return stack ? stack->property("currentItem").value<QQuickItem *>() : nullptr;
}

QQuickItem *tst_ViewerWiring::row(QQuickItem *listView, int index) const
{
    QQuickItem *delegate = nullptr;
    QMetaObject::invokeMethod(
        listView, "itemAtIndex", Q_RETURN_ARG(QQuickItem *, delegate), Q_ARG(int, index));
    return delegate;
}

QQuickItem *tst_ViewerWiring::docRow(const QString &name) const
{
    QQuickItem *list = findItem(currentView(), QStringLiteral("docListView"));
    for (int i = 0; list && i < docs->rowCount(); ++i) {
        if (docs->data(docs->index(i), DocList::DocNameRole).toString() == name)
            return row(list, i);
    }
    return nullptr;
}

void tst_ViewerWiring::waitForStack()
{
    // Until the stack's push or pop transition has ended.
    QObject *stack = findObject(window, QStringLiteral("mainStack"));
    QVERIFY(stack);
    QTRY_VERIFY_WITH_TIMEOUT(!stack->property("busy").toBool(), 10000);
}

void tst_ViewerWiring::showDocuments()
{
    if (currentView()->objectName() == QLatin1String("openedChatView")) {
        DocDrop::click(window, findItem(currentView(), QStringLiteral("docButton")));
        QTRY_COMPARE(currentView()->objectName(), QStringLiteral("docView"));
        waitForStack();
    }
}

void tst_ViewerWiring::showChat()
{
    if (currentView()->objectName() == QLatin1String("docView")) {
        DocDrop::click(window, findItem(currentView(), QStringLiteral("chatButton")));
        QTRY_COMPARE(currentView()->objectName(), QStringLiteral("openedChatView"));
        waitForStack();
    }
}

void tst_ViewerWiring::ask(const QString &question)
{
    showChat();
    if (QTest::currentTestFailed())
        return;
    // Typing is the chat view's own business; here the question only has to go out. Key events
    // would also need the active window, which parallel tests on one display take from another.
    QQuickItem *field = findItem(currentView(), QStringLiteral("messageField"));
    QVERIFY(field);
    field->setProperty("text", question);
    DocDrop::click(window, findItem(currentView(), QStringLiteral("sendButton")));
    QTRY_VERIFY_WITH_TIMEOUT(!chat->isWaitingMsg(), 60000);
    // The answer's bubble bounces in, and the list scrolls it into view.
    QQuickItem *list = findItem(currentView(), QStringLiteral("openedChatList"));
    QTRY_VERIFY_WITH_TIMEOUT(row(list, messages->count() - 1)
            && row(list, messages->count() - 1)->x() == 0.0 && !list->property("moving").toBool(),
        10000);
    // Following its current item, the list scrolls without "moving": a click aimed while it
    // still scrolls misses, so wait until the newest row keeps its place on screen.
    QPointF last(-1, -1);
    int unchanged = 0;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            const QQuickItem *newest = row(list, messages->count() - 1);
            const QPointF place = newest ? newest->mapToScene(QPointF()) : QPointF(-1, -1);
            unchanged = place == last ? unchanged + 1 : 0;
            last = place;
            return unchanged >= 4;
        }(),
        10000);
}

QQuickItem *tst_ViewerWiring::firstReference(int answerRow)
{
    QQuickItem *list = findItem(currentView(), QStringLiteral("openedChatList"));
    if (!list)
        return nullptr;
    // An older answer may have scrolled out of the list.
    QMetaObject::invokeMethod(
        list, "positionViewAtIndex", Q_ARG(int, answerRow), Q_ARG(int, 4 /* ListView.Contain */));
    QQuickItem *delegate = nullptr;
    if (!QTest::qWaitFor([&] { return (delegate = row(list, answerRow)) != nullptr; }, 5000))
        return nullptr;
    QList<QQuickItem *> buttons = findItems(delegate, QStringLiteral("refButton"));
    std::sort(buttons.begin(), buttons.end(),
        [](QQuickItem *a, QQuickItem *b) { return a->x() < b->x(); });
    return buttons.value(0);
}

int tst_ViewerWiring::redUnderLink(const QImage &shot) const
{
    // The viewer underlines the links it reads with poppler in red.
    const QRect link = inViewer(0, harbourLink);
    int red = 0;
    for (int x = link.left(); x <= link.right(); ++x) {
        for (int y = link.bottom() - 1; y <= link.bottom() + 1; ++y) {
            const QRgb c = shot.pixel(x, y);
            if (qRed(c) > 200 && qGreen(c) < 80 && qBlue(c) < 80) {
                ++red;
                break;
            }
        }
    }
    return red;
}

QRect tst_ViewerWiring::inViewer(int page, const QRectF &points) const
{
    return ViewerPixels::inViewer(viewer, view, page, points);
}

QImage tst_ViewerWiring::shootViewer(const QString &name, const QRectF &inkArea, int page)
{
    // Pages render in the background: wait until the paragraph's ink shows.
    const QRect area = inViewer(page, inkArea) & viewer->rect();
    const auto ink = [&area](const QImage &image) {
        int n = 0;
        for (int y = area.top(); y <= area.bottom(); ++y)
            for (int x = area.left(); x <= area.right(); ++x)
                n += isInk(image.pixel(x, y));
        return n;
    };
    QImage shot;
    const bool rendered = QTest::qWaitFor(
        [&] {
            shot = viewer->grab().toImage().convertToFormat(QImage::Format_RGB32);
            return ink(shot) > 100;
        },
        10000);
    const QString folder = qEnvironmentVariable("QUORVANE_TEST_OUTPUT");
    if (!folder.isEmpty()) {
        QDir().mkpath(folder);
        shot.save(QDir(folder).filePath(name + QStringLiteral(".png")));
    }
    return rendered ? shot : QImage();
}

void tst_ViewerWiring::verifyHighlight(const QImage &shot, const QRect &highlight, bool alone) const
{
    int inside = 0;
    int outside = 0;
    countBlue(shot, highlight, &inside, &outside);
    QVERIFY2(inside > highlight.width() * highlight.height() / 2,
        qPrintable(QStringLiteral("%1 blue pixels in the highlight").arg(inside)));
    if (alone)
        QCOMPARE(outside, 0);
}

void tst_ViewerWiring::countBlue(
    const QImage &shot, const QRect &box, int *inside, int *outside) const
{
    *inside = 0;
    *outside = 0;
    // One pixel of slack around the box for the rounding at its edges.
    const QRect slack = box.isNull() ? QRect() : box.adjusted(-1, -1, 1, 1);
    const QRect shown = view->viewport()->geometry() & shot.rect();
    for (int y = shown.top(); y <= shown.bottom(); ++y) {
        for (int x = shown.left(); x <= shown.right(); ++x) {
            if (!isBluish(shot.pixel(x, y)))
                continue;
            if (box.contains(x, y))
                ++*inside;
            else if (!slack.contains(x, y))
                ++*outside;
        }
    }
}

void tst_ViewerWiring::dropListsTheDocument()
{
    QCOMPARE(currentView()->objectName(), QStringLiteral("docView"));
    QVERIFY(DocDrop::dropUrls(
        window, findItem(currentView(), QStringLiteral("docListView")), { QUrl(roadUrl) }));
    QTRY_COMPARE_WITH_TIMEOUT(docs->rowCount(), 1, 60000);
    QTRY_VERIFY(docRow(QStringLiteral("road.pdf")));
}

void tst_ViewerWiring::doubleClickOpensTheViewerWithoutHighlight()
{
    DocDrop::doubleClick(window, docRow(QStringLiteral("road.pdf")));
    QTRY_VERIFY(viewer->isVisible());
    QCOMPARE(viewer->windowTitle(), QStringLiteral("road.pdf"));
    QCOMPARE(view->document(),
        docs->data(docs->index(0), DocList::DocObjectRole).value<Doc *>()->pdfDocument());
    QCOMPARE(view->verticalScrollBar()->value(), 0);

    const QImage shot = shootViewer(QStringLiteral("viewer-doubleclick"), bakery, 0);
    QVERIFY(!shot.isNull());
    int inside = 0;
    int outside = 0;
    countBlue(shot, QRect(), &inside, &outside);
    QCOMPARE(outside, 0);

    // The viewer reads the links from the bytes the document list read: the link of page 0
    // is underlined in red.
    const int red = redUnderLink(shot);
    QVERIFY2(red >= inViewer(0, harbourLink).width() * 0.9, qPrintable(QString::number(red)));
}

void tst_ViewerWiring::referenceOpensItsPassageHighlighted_data()
{
    QTest::addColumn<QString>("question");
    QTest::addColumn<int>("page");
    QTest::addColumn<QRectF>("paragraph");
    // A paragraph in view that must stay unmarked.
    QTest::addColumn<QRectF>("other");
    QTest::addColumn<int>("otherPage");

    QTest::newRow("known sentence on the second page")
        << lighthouseQuestion << 1 << lighthouse << mountains << 1;
    // After the first reference: that highlight is gone, the new one is the only one.
    QTest::newRow("later reference on the first page")
        << bakeryQuestion << 0 << bakery << lighthouse << 1;
}

void tst_ViewerWiring::referenceOpensItsPassageHighlighted()
{
    QFETCH(QString, question);
    QFETCH(int, page);
    QFETCH(QRectF, paragraph);
    QFETCH(QRectF, other);
    QFETCH(int, otherPage);

    ask(question);
    if (QTest::currentTestFailed())
        return;
    const int answerRow = messages->count() - 1;
    if (page == 1)
        lighthouseAnswerRow = answerRow;
    const Message *answer = messages->at(answerRow);
    QVERIFY(answer->userID() != 0);
    QVERIFY(answer->sourceAt(0));
    const Chunk reference = *answer->sourceAt(0);
    QCOMPARE(reference.doc(), roadUrl);
    QCOMPARE(reference.page(), page);
    // scrivex's box of the paragraph, within a point or two of where it was drawn.
    const QRectF box = reference.rect();
    QVERIFY2(qAbs(box.top() - paragraph.top()) < 3 && qAbs(box.bottom() - paragraph.bottom()) < 3
            && qAbs(box.left() - paragraph.left()) < 3,
        qPrintable(QStringLiteral("chunk box %1,%2 %3x%4")
                       .arg(box.x())
                       .arg(box.y())
                       .arg(box.width())
                       .arg(box.height())));
    saveScreenshot(window, QStringLiteral("viewer-chat-p%1").arg(page));

    QQuickItem *list = findItem(currentView(), QStringLiteral("openedChatList"));
    QList<QQuickItem *> buttons = findItems(row(list, answerRow), QStringLiteral("refButton"));
    QVERIFY(!buttons.isEmpty());
    std::sort(buttons.begin(), buttons.end(),
        [](QQuickItem *a, QQuickItem *b) { return a->x() < b->x(); });
    QCOMPARE(
        buttons.first()->childItems().first()->property("text").toString(), QStringLiteral("[1]"));

    viewer->hide();
    QSignalSpy highlighted(docs, &DocList::highlightPdfRef);
    DocDrop::click(window, buttons.first());
    QCOMPARE(highlighted.count(), 1);
    const Chunk shown = highlighted.first().at(2).value<Chunk>();
    QCOMPARE(shown.doc(), reference.doc());
    QCOMPARE(shown.page(), reference.page());
    QCOMPARE(shown.rect(), reference.rect());

    QTRY_VERIFY(viewer->isVisible());
    QCOMPARE(viewer->windowTitle(), QStringLiteral("road.pdf"));
    QScrollBar *bar = view->verticalScrollBar();
    const int top = pageTop(page) + qRound(box.y() * scale);
    QCOMPARE(bar->value(), qMin(top, bar->maximum()));

    const QImage shot = shootViewer(QStringLiteral("viewer-reference-p%1").arg(page), box, page);
    QVERIFY(!shot.isNull());
    const QRect highlight = inViewer(page, box);
    QVERIFY(view->viewport()->geometry().contains(highlight));
    verifyHighlight(shot, highlight, true);
    if (QTest::currentTestFailed())
        return;
    // The other paragraph is in view, so its missing blue is seen, not assumed.
    const QRect otherBox = inViewer(otherPage, other);
    QVERIFY(view->viewport()->geometry().contains(otherBox));
}

void tst_ViewerWiring::doubleClickEmptiesTheHighlight()
{
    QVERIFY(viewer->isVisible());
    const int scrolled = view->verticalScrollBar()->value();
    showDocuments();
    DocDrop::doubleClick(window, docRow(QStringLiteral("road.pdf")));
    QVERIFY(viewer->isVisible());
    // No highlight to jump to: the view stays where it was.
    QCOMPARE(view->verticalScrollBar()->value(), scrolled);
    const QImage shot
        = shootViewer(QStringLiteral("viewer-doubleclick-after-reference"), bakery, 0);
    QVERIFY(!shot.isNull());
    int inside = 0;
    int outside = 0;
    countBlue(shot, QRect(), &inside, &outside);
    QCOMPARE(outside, 0);
}

void tst_ViewerWiring::closingTheMainWindowClosesTheViewer()
{
    QVERIFY(viewer->isVisible());
    window->close();
    QVERIFY(!viewer->isVisible());

    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    DocDrop::doubleClick(window, docRow(QStringLiteral("road.pdf")));
    QTRY_VERIFY(viewer->isVisible());
}

// The offset of the document shown before means nothing in another one.
void tst_ViewerWiring::doubleClickOnAnotherDocumentOpensItsFirstPage()
{
    // Dropped only now: the questions above go to the one document there was.
    QVERIFY(DocDrop::dropUrls(
        window, findItem(currentView(), QStringLiteral("docListView")), { QUrl(notesUrl) }));
    QTRY_COMPARE_WITH_TIMEOUT(docs->rowCount(), 2, 60000);
    QTRY_VERIFY(docRow(QStringLiteral("notes.pdf")));
    QVERIFY(viewer->isVisible());
    QScrollBar *bar = view->verticalScrollBar();
    QCOMPARE(viewer->windowTitle(), QStringLiteral("road.pdf"));
    bar->setValue(pageTop(1));
    QCOMPARE(bar->value(), pageTop(1));

    DocDrop::doubleClick(window, docRow(QStringLiteral("notes.pdf")));
    QTRY_COMPARE(viewer->windowTitle(), QStringLiteral("notes.pdf"));
    QCOMPARE(bar->value(), 0);
    QVERIFY(bar->maximum() > pageTop(1));
    // Its first page drawn before the next document comes: QtPdf 6.4 keeps an image it answers
    // late, for a document gone since, as the page of that number in the new one.
    QVERIFY(!shootViewer(QStringLiteral("viewer-doubleclick-notes"), tulips, 0).isNull());
    // The one shown stays where it is.
    bar->setValue(pageTop(1));
    DocDrop::doubleClick(window, docRow(QStringLiteral("notes.pdf")));
    QCOMPARE(bar->value(), pageTop(1));

    DocDrop::doubleClick(window, docRow(QStringLiteral("road.pdf")));
    QTRY_COMPARE(viewer->windowTitle(), QStringLiteral("road.pdf"));
    QCOMPARE(bar->value(), 0);
    const QImage shot = shootViewer(QStringLiteral("viewer-doubleclick-another-document"), bakery, 0);
    QVERIFY(!shot.isNull());
}

void tst_ViewerWiring::deletingAnotherDocumentKeepsTheViewer()
{
    QCOMPARE(docs->rowCount(), 2);
    QVERIFY(viewer->isVisible());

    QSignalSpy confirmed(chat, &Chat::docDeletedFromServer);
    DocDrop::click(window, findItem(docRow(QStringLiteral("notes.pdf")), "removeButton"));
    QTRY_COMPARE_WITH_TIMEOUT(confirmed.count(), 1, 30000);
    QCOMPARE(docs->rowCount(), 1);
    QVERIFY(viewer->isVisible());
    // The removed row's delegate goes with the next frame.
    QTRY_COMPARE(findItems(findItem(currentView(), QStringLiteral("docListView")),
                     QStringLiteral("removeButton"))
                     .size(),
        1);
}

void tst_ViewerWiring::deletingTheShownDocumentClosesTheViewer()
{
    QSignalSpy confirmed(chat, &Chat::docDeletedFromServer);
    DocDrop::click(window, findItem(docRow(QStringLiteral("road.pdf")), "removeButton"));
    QTRY_COMPARE_WITH_TIMEOUT(confirmed.count(), 1, 30000);
    QCOMPARE(docs->rowCount(), 0);
    QVERIFY(!viewer->isVisible());
    // The removed row's delegate goes with the next frame.
    QTRY_VERIFY(!docRow(QStringLiteral("road.pdf")));
    QTRY_VERIFY(findItem(currentView(), QStringLiteral("emptyListTitle"))->isVisible());
    saveScreenshot(window, QStringLiteral("viewer-document-deleted"));
}

void tst_ViewerWiring::referenceToADepartedDocument_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("shown");
    // In this order, on road.pdf, which has just left the list.
    QTest::newRow("file unchanged") << "unchanged" << true;
    QTest::newRow("file overwritten by another PDF") << "overwritten" << false;
    QTest::newRow("file deleted") << "deleted" << false;
}

void tst_ViewerWiring::referenceToADepartedDocument()
{
    QFETCH(QString, file);
    QFETCH(bool, shown);
    QCOMPARE(docs->rowCount(), 0);
    QVERIFY(lighthouseAnswerRow >= 0);
    const QString roadPath = QUrl(roadUrl).toLocalFile();
    if (file == QLatin1String("overwritten")) {
        QFile notes(QUrl(notesUrl).toLocalFile());
        QFile road(roadPath);
        QVERIFY(notes.open(QIODevice::ReadOnly) && road.open(QIODevice::WriteOnly));
        QVERIFY(road.write(notes.readAll()) > 0);
    } else if (file == QLatin1String("deleted")) {
        QVERIFY(QFile::remove(roadPath));
    }

    showChat();
    if (QTest::currentTestFailed())
        return;
    QQuickItem *notice = findItem(currentView(), QStringLiteral("refNotice"));
    QVERIFY(notice);
    QTRY_VERIFY_WITH_TIMEOUT(!notice->isVisible(), 10000);
    QQuickItem *reference = firstReference(lighthouseAnswerRow);
    QVERIFY(reference);
    const Chunk chunk = *messages->at(lighthouseAnswerRow)->sourceAt(0);
    QCOMPARE(chunk.doc(), roadUrl);
    viewer->hide();
    DocDrop::click(window, reference);

    if (!shown) {
        QTRY_VERIFY(notice->isVisible());
        QVERIFY(!viewer->isVisible());
        const QString text
            = findItem(notice, QStringLiteral("refNoticeText"))->property("text").toString();
        QVERIFY2(text.startsWith(QStringLiteral("road.pdf is no longer listed")), qPrintable(text));
        saveScreenshot(window, QStringLiteral("viewer-departed-%1").arg(file));
        return;
    }
    // As for a listed document: the passage, highlighted, in the file as it was listed.
    QTRY_VERIFY(viewer->isVisible());
    QVERIFY(!notice->isVisible());
    QCOMPARE(viewer->windowTitle(), QStringLiteral("road.pdf"));
    const QImage shot = shootViewer(QStringLiteral("viewer-departed-unchanged"), chunk.rect(), 1);
    QVERIFY(!shot.isNull());
    const QRect highlight = inViewer(1, chunk.rect());
    QVERIFY(view->viewport()->geometry().contains(highlight));
    verifyHighlight(shot, highlight, true);
}

void tst_ViewerWiring::changedFileShowsTheDocumentAsListed_data()
{
    QTest::addColumn<QString>("change");
    QTest::newRow("truncated in place") << "truncated";
    QTest::newRow("overwritten in place by another PDF") << "overwritten";
    QTest::newRow("deleted") << "deleted";
}

void tst_ViewerWiring::changedFileShowsTheDocumentAsListed()
{
    QFETCH(QString, change);
    const QString path = privateRoot() + QStringLiteral("/changing-%1.pdf").arg(change);
    QVERIFY(writeRoad(path));
    const QString url = QUrl::fromLocalFile(path).toString();
    const QString name = QFileInfo(path).fileName();
    showDocuments();
    QCOMPARE(docs->rowCount(), 0);
    QVERIFY(DocDrop::dropUrls(
        window, findItem(currentView(), QStringLiteral("docListView")), { QUrl(url) }));
    QTRY_COMPARE_WITH_TIMEOUT(docs->rowCount(), 1, 60000);
    QPdfDocument *listed
        = docs->data(docs->index(0), DocList::DocObjectRole).value<Doc *>()->pdfDocument();

    // Changed behind the program's back, the file keeping its inode where it stays.
    QFile file(path);
    if (change == QLatin1String("truncated")) {
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.resize(0));
        QCOMPARE(file.write(QByteArray(1000, '\0')), 1000);
        file.close();
    } else if (change == QLatin1String("overwritten")) {
        QFile notes(QUrl(notesUrl).toLocalFile());
        QVERIFY(notes.open(QIODevice::ReadOnly) && file.open(QIODevice::WriteOnly));
        QVERIFY(file.write(notes.readAll()) > 0);
        file.close();
    } else {
        QVERIFY(file.remove());
    }

    // A reference: its passage, highlighted.
    ask(lighthouseQuestion);
    if (QTest::currentTestFailed())
        return;
    const int answerRow = messages->count() - 1;
    QVERIFY(messages->at(answerRow)->sourceAt(0));
    const Chunk chunk = *messages->at(answerRow)->sourceAt(0);
    QCOMPARE(chunk.doc(), url);
    QCOMPARE(chunk.page(), 1);
    QQuickItem *reference = firstReference(answerRow);
    QVERIFY(reference);
    viewer->hide();
    DocDrop::click(window, reference);
    QTRY_VERIFY(viewer->isVisible());
    QCOMPARE(viewer->windowTitle(), name);
    QCOMPARE(view->document(), listed);
    QImage shot = shootViewer(QStringLiteral("viewer-%1-reference").arg(change), chunk.rect(), 1);
    QVERIFY(!shot.isNull());
    const QRect highlight = inViewer(1, chunk.rect());
    verifyHighlight(shot, highlight, false);
    if (QTest::currentTestFailed())
        return;

    // A double click: the first page, drawn and linked as it was listed.
    showDocuments();
    viewer->hide();
    view->verticalScrollBar()->setValue(0);
    DocDrop::doubleClick(window, docRow(name));
    QTRY_VERIFY(viewer->isVisible());
    QCOMPARE(view->document(), listed);
    view->verticalScrollBar()->setValue(0);
    shot = shootViewer(QStringLiteral("viewer-%1-doubleclick").arg(change), bakery, 0);
    QVERIFY(!shot.isNull());
    const int red = redUnderLink(shot);
    QVERIFY2(red >= inViewer(0, harbourLink).width() * 0.9, qPrintable(QString::number(red)));

    // A search and a click on its hit.
    CombinedSearchModel *search = chat->searchModel();
    viewer->hide();
    docs->setSearchString(QStringLiteral("seagulls"));
    QTRY_VERIFY_WITH_TIMEOUT(
        search->rowCount() == 1 && search->rowCount(search->index(0, 0)) == 1, 10000);
    search->itemClicked(1);
    QTRY_VERIFY(viewer->isVisible());
    QCOMPARE(view->document(), listed);
    QVERIFY(!shootViewer(QStringLiteral("viewer-%1-search").arg(change), lighthouse, 1).isNull());
    docs->setSearchString(QString());

    QSignalSpy confirmed(chat, &Chat::docDeletedFromServer);
    chat->delDoc(0);
    QTRY_COMPARE_WITH_TIMEOUT(confirmed.count(), 1, 30000);
    QCOMPARE(docs->rowCount(), 0);
}

int main(int argc, char **argv)
{
    // No online service in these cases; the window's WebSocket finds nobody.
    return runInDemoProgram<tst_ViewerWiring>(argc, argv);
}

#include "tst_viewerwiring.moc"
