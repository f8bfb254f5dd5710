#include "application.h"
#include "chat.h"
#include "chatlist.h"
#include "docdrop.h"
#include "doclist.h"
#include "llmclient.h"
#include "message.h"
#include "demoprogram.h"
#include "user.h"

#include "testpdf.h"
#include "viewerpixels.h"

#include <folioscope/folioscope.h>
#include <tessellum/chunk.h>

#include <QApplication>
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
    void deletingAnotherDocumentKeepsTheViewer();
    void deletingTheShownDocumentClosesTheViewer();

private:
    QQuickItem *currentView() const;
    QQuickItem *row(QQuickItem *listView, int index) const;
    QQuickItem *docRow(const QString &name) const;
    void showDocuments();
    void ask(const QString &question);
    QRect inViewer(int page, const QRectF &points) const;
    QImage shootViewer(const QString &name, const QRectF &inkArea, int page);
    // Bluish pixels of the viewport inside `box`, and outside it beyond a pixel of slack.
    void countBlue(const QImage &shot, const QRect &box, int *inside, int *outside) const;

    QQuickWindow *window = nullptr;
    Chat *chat = nullptr;
    DocList *docs = nullptr;
    ChatList *messages = nullptr;
    Folioscope *viewer = nullptr;
    QPdfView *view = nullptr;
    QString roadUrl;
    QString notesUrl;
    QRectF lighthouse; // page 1
    QRectF mountains; // page 1
    QRectF bakery; // page 0
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
    const QString roadPath = privateRoot() + QStringLiteral("/road.pdf");
    QVERIFY(road.write(roadPath));
    roadUrl = QUrl::fromLocalFile(roadPath).toString();

    TestPdf notes;
    notes.addPage(QSizeF(612, 792));
    notes.addText(0, { 72, 100 }, QStringLiteral("Gardeners plant tulips in autumn."));
    const QString notesPath = privateRoot() + QStringLiteral("/notes.pdf");
    QVERIFY(notes.write(notesPath));
    notesUrl = QUrl::fromLocalFile(notesPath).toString();
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

void tst_ViewerWiring::showDocuments()
{
    if (currentView()->objectName() == QLatin1String("openedChatView")) {
        DocDrop::click(window, findItem(currentView(), QStringLiteral("docButton")));
        QTRY_COMPARE(currentView()->objectName(), QStringLiteral("docView"));
        // The stack's pop transition.
        QTest::qWait(500);
    }
}

void tst_ViewerWiring::ask(const QString &question)
{
    if (currentView()->objectName() == QLatin1String("docView")) {
        DocDrop::click(window, findItem(currentView(), QStringLiteral("chatButton")));
        QTRY_COMPARE(currentView()->objectName(), QStringLiteral("openedChatView"));
        QTest::qWait(500);
    }
    // Typing is the chat view's own business; here the question only has to go out. Key events
    // would also need the active window, which parallel tests on one display take from another.
    QQuickItem *field = findItem(currentView(), QStringLiteral("messageField"));
    QVERIFY(field);
    field->setProperty("text", question);
    DocDrop::click(window, findItem(currentView(), QStringLiteral("sendButton")));
    QTRY_VERIFY_WITH_TIMEOUT(!chat->isWaitingMsg(), 60000);
    // The answer's bubble bounces in for 1.5 s.
    QTest::qWait(1800);
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

    // The viewer reads the links from the file the document list names: the link of page 0
    // is underlined in red.
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
    QVERIFY2(red >= link.width() * 0.9, qPrintable(QString::number(red)));
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
    int inside = 0;
    int outside = 0;
    countBlue(shot, highlight, &inside, &outside);
    QVERIFY2(inside > highlight.width() * highlight.height() / 2,
        qPrintable(QStringLiteral("%1 blue pixels in the highlight").arg(inside)));
    QCOMPARE(outside, 0);
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

void tst_ViewerWiring::deletingAnotherDocumentKeepsTheViewer()
{
    // Dropped only now: the questions above go to the one document there was.
    QVERIFY(DocDrop::dropUrls(
        window, findItem(currentView(), QStringLiteral("docListView")), { QUrl(notesUrl) }));
    QTRY_COMPARE_WITH_TIMEOUT(docs->rowCount(), 2, 60000);
    QTRY_VERIFY(docRow(QStringLiteral("notes.pdf")));
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
    QTest::qWait(300);
    saveScreenshot(window, QStringLiteral("viewer-document-deleted"));
}

int main(int argc, char **argv)
{
    // No online service in these cases; the window's WebSocket finds nobody.
    return runInDemoProgram<tst_ViewerWiring>(argc, argv);
}

#include "tst_viewerwiring.moc"
