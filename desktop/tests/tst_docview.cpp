#include "application.h"
#include "chat.h"
#include "demoprogram.h"
#include "doc.h"
#include "docdrop.h"
#include "doclist.h"
#include "llmclient.h"

#include "testpdf.h"

#include <QLocalSocket>
#include <QProcess>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QtTest>

#include <csignal>
#include <memory>

#include <sys/types.h>

using namespace UiTestEnvironment;

namespace {

struct PanelState
{
    int progress;
    bool listShown;
    bool dropsTaken;
    bool panelShown;
};

QString writeOnePagePdf(const QString &path, const QString &text)
{
    TestPdf pdf;
    pdf.addPage(QSizeF(612, 792));
    pdf.addText(0, { 72, 100 }, text);
    return pdf.write(path) ? QUrl::fromLocalFile(path).toString() : QString();
}

} // namespace

// The document view in the real window: drops, the ingestion's progress, the rows and their
// removal, against the real oraculd, the real scrivex and the demo models.
class tst_DocView : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void firstScreenIsTheEmptyDocumentView();
    void dropOfTwoPdfsIngestsBothInDropOrder();
    void hoverBandWidensOverTheRow();
    void progressPanelFollowsTheRun_data();
    void progressPanelFollowsTheRun();
    void statusIconFollowsTheStatus_data();
    void statusIconFollowsTheStatus();
    void removalShowsTheBusyPaneUntilTheServerConfirms();
    void removingTheLastRowShowsTheTitleAgain();
    // Last: the server is gone afterwards.
    void busyPaneComesDownWhenTheServerEnds();

private:
    QQuickItem *item(const QString &objectName) const;
    QQuickItem *row(int index) const;
    PanelState panelState() const;

    QQuickWindow *window = nullptr;
    Chat *chat = nullptr;
    DocList *docs = nullptr;
    QQuickItem *docView = nullptr;
    QQuickItem *list = nullptr;
    qint64 serverPid = 0;
    QString zetaUrl;
    QString alphaUrl;
    QString lateUrl;
};

void tst_DocView::initTestCase()
{
    window = mainWindow();
    QVERIFY(window);
    QVERIFY(QTest::qWaitForWindowExposed(window));
    chat = qApp->findChild<Chat *>();
    QVERIFY(chat);
    docs = chat->docs();

    auto *socket = chat->llmClient()->findChild<QLocalSocket *>();
    QVERIFY(socket);
    QTRY_COMPARE_WITH_TIMEOUT(socket->state(), QLocalSocket::ConnectedState, 60000);
    serverPid = chat->llmClient()->findChild<QProcess *>()->processId();
    QVERIFY(serverPid > 0);

    // Named against the alphabet, so the drop order is not the sorted order.
    const QString dir = privateRoot();
    zetaUrl = writeOnePagePdf(dir + QStringLiteral("/zeta.pdf"),
        QStringLiteral("The ferry crosses the bay twice a day."));
    alphaUrl = writeOnePagePdf(
        dir + QStringLiteral("/alpha.pdf"), QStringLiteral("Owls hunt mice in the barn at night."));
    lateUrl = writeOnePagePdf(
        dir + QStringLiteral("/late.pdf"), QStringLiteral("Nobody drops this one in time."));
    QVERIFY(!zetaUrl.isEmpty() && !alphaUrl.isEmpty() && !lateUrl.isEmpty());

    docView = item(QStringLiteral("docView"));
    list = item(QStringLiteral("docListView"));
    QVERIFY(docView && list);
}

void tst_DocView::cleanup()
{
    // A failed case must not leave the server stopped or the view in a run.
    ::kill(pid_t(serverPid), SIGCONT);
    if (docs->progress() < 100)
        docs->setProgress(100);
}

QQuickItem *tst_DocView::item(const QString &objectName) const
{
    return findItem(window, objectName);
}

QQuickItem *tst_DocView::row(int index) const
{
    QQuickItem *delegate = nullptr;
    QMetaObject::invokeMethod(
        list, "itemAtIndex", Q_RETURN_ARG(QQuickItem *, delegate), Q_ARG(int, index));
    return delegate;
}

PanelState tst_DocView::panelState() const
{
    return { docs->progress(), list->isVisible(), item(QStringLiteral("dropArea"))->isEnabled(),
        item(QStringLiteral("progressContainer"))->isVisible() };
}

void tst_DocView::firstScreenIsTheEmptyDocumentView()
{
    QObject *stack = findObject(window, QStringLiteral("mainStack"));
    QVERIFY(stack);
    QCOMPARE(stack->property("depth").toInt(), 1);
    QCOMPARE(stack->property("currentItem").value<QQuickItem *>(), docView);

    QQuickItem *title = item(QStringLiteral("emptyListTitle"));
    QVERIFY(title->isVisible());
    QCOMPARE(title->property("text").toString(), QStringLiteral("Drop documents here"));
    QVERIFY(list->isVisible());
    QVERIFY(!item(QStringLiteral("loadingPane"))->isVisible());
    QVERIFY(!item(QStringLiteral("progressContainer"))->isVisible());
    QVERIFY(item(QStringLiteral("dropArea"))->isEnabled());
    QTest::qWait(300);
    saveScreenshot(window, QStringLiteral("docview-empty"));
}

void tst_DocView::dropOfTwoPdfsIngestsBothInDropOrder()
{
    // What the view shows at every progress of the run, right after it has reacted.
    QList<PanelState> seen;
    connect(docs, &DocList::progressChanged, this, [&] { seen.append(panelState()); });

    QVERIFY(DocDrop::dropUrls(window, list, { QUrl(zetaUrl), QUrl(alphaUrl) }));
    QVERIFY(docs->isIngesting());
    QVERIFY(!seen.isEmpty());
    QCOMPARE(seen.first().progress, 0);
    QVERIFY(!seen.first().listShown);
    QVERIFY(!seen.first().dropsTaken);
    QVERIFY(seen.first().panelShown);

    QTRY_COMPARE_WITH_TIMEOUT(docs->rowCount(), 2, 60000);
    disconnect(docs, &DocList::progressChanged, this, nullptr);
    QCOMPARE(docs->data(docs->index(0), DocList::DocPathRole).toString(), zetaUrl);
    QCOMPARE(docs->data(docs->index(1), DocList::DocPathRole).toString(), alphaUrl);
    QVERIFY(seen.last().progress >= 100);
    QVERIFY(seen.last().listShown);
    QVERIFY(seen.last().dropsTaken);
    QVERIFY(!seen.last().panelShown);

    QTRY_VERIFY(!item(QStringLiteral("emptyListTitle"))->isVisible());
    const QStringList names { QStringLiteral("zeta.pdf"), QStringLiteral("alpha.pdf") };
    for (int i = 0; i < names.size(); ++i) {
        QVERIFY(row(i));
        QCOMPARE(
            findItem(row(i), QStringLiteral("docName"))->property("text").toString(), names.at(i));
    }
    QTest::qWait(300);
    saveScreenshot(window, QStringLiteral("docview-listed"));
}

// The band under the pointer grows from the left to the row's width in 450 ms, measured on the
// clock with room for a loaded machine, and shrinks away when the pointer leaves.
void tst_DocView::hoverBandWidensOverTheRow()
{
    QQuickItem *first = row(0);
    QVERIFY(first);
    QQuickItem *band = findItem(first, QStringLiteral("hoverBackground"));
    QVERIFY(band);
    QTRY_COMPARE(band->width(), 0.0);
    const qreal full = first->width();
    QVERIFY(full > 100);

    QElapsedTimer clock;
    bool partly = false;
    clock.start();
    QTest::mouseMove(window, first->mapToScene(QPointF(full / 2, first->height() / 2)).toPoint());
    QVERIFY(QTest::qWaitFor(
        [&] {
            partly = partly || (band->width() > 0 && band->width() < full - 1);
            return band->width() >= full - 0.5;
        },
        5000));
    const qint64 widened = clock.elapsed();
    qInfo("hover band at full width after %lld ms", widened);
    QVERIFY(partly);
    QVERIFY2(widened >= 350 && widened <= 700, qPrintable(QString::number(widened)));

    QTest::mouseMove(window, QPoint(window->width() / 2, window->height() - 5));
    QTRY_COMPARE(band->width(), 0.0);
}

void tst_DocView::progressPanelFollowsTheRun_data()
{
    QTest::addColumn<QList<int>>("steps");
    QTest::addColumn<bool>("listShown");
    QTest::addColumn<bool>("panelShown");

    QTest::newRow("0 opens a run") << QList<int> { 0 } << false << true;
    QTest::newRow("55 in a run only moves the bar") << QList<int> { 0, 55 } << false << true;
    QTest::newRow("100 ends the run") << QList<int> { 0, 55, 100 } << true << false;
    QTest::newRow("above 100 ends it too") << QList<int> { 0, 120 } << true << false;
    QTest::newRow("55 outside a run keeps the list") << QList<int> { 55 } << true << false;
}

void tst_DocView::progressPanelFollowsTheRun()
{
    QFETCH(QList<int>, steps);
    QFETCH(bool, listShown);
    QFETCH(bool, panelShown);

    for (int value : steps)
        docs->setProgress(value);

    const PanelState state = panelState();
    QCOMPARE(state.listShown, listShown);
    QCOMPARE(state.panelShown, panelShown);
    QCOMPARE(state.dropsTaken, listShown);
    QQuickItem *bar = item(QStringLiteral("progressBar"));
    QCOMPARE(bar->property("value").toInt(), qMin(steps.last(), 100));
    if (steps.last() == 55 && panelShown) {
        saveScreenshot(window, QStringLiteral("docview-progress-55"));
    }

    // A file dropped while the list is hidden starts nothing.
    if (!state.dropsTaken) {
        QVERIFY(!DocDrop::dropUrls(window, list, { QUrl(lateUrl) }));
        QVERIFY(!docs->isIngesting());
    }
}

void tst_DocView::statusIconFollowsTheStatus_data()
{
    QTest::addColumn<int>("stat");
    QTest::addColumn<QString>("icon");

    QTest::newRow("new") << int(Doc::NEW) << "mark.svg";
    QTest::newRow("ingested") << int(Doc::INGESTED) << "tick.svg";
    QTest::newRow("modified") << int(Doc::MODIFIED) << "mark.svg";
}

void tst_DocView::statusIconFollowsTheStatus()
{
    QFETCH(int, stat);
    QFETCH(QString, icon);

    QQmlEngine *engine = qmlEngine(docView);
    QVERIFY(engine);
    QQmlComponent component(
        engine, QUrl(QStringLiteral("qrc:/app/Documents/Components/DocDelegate.qml")));
    std::unique_ptr<QObject> delegate(component.createWithInitialProperties(
        { { QStringLiteral("index"), 0 }, { QStringLiteral("name"), QStringLiteral("x.pdf") },
            { QStringLiteral("stat"), stat } }));
    QVERIFY2(delegate, qPrintable(component.errorString()));
    QQuickItem *statusIcon = findItem(delegate.get(), QStringLiteral("statusIcon"));
    QVERIFY(statusIcon);
    QVERIFY2(statusIcon->property("path").toString().endsWith(icon),
        qPrintable(statusIcon->property("path").toString()));

    // The listed rows all went through ingestion.
    if (stat == Doc::INGESTED) {
        QQuickItem *listed = findItem(row(0), QStringLiteral("statusIcon"));
        QVERIFY(listed);
        QVERIFY(listed->property("path").toString().endsWith(icon));
    }
}

void tst_DocView::removalShowsTheBusyPaneUntilTheServerConfirms()
{
    QCOMPARE(docs->rowCount(), 2);
    QQuickItem *pane = item(QStringLiteral("loadingPane"));
    QVERIFY(!pane->isVisible());

    // The server is held still, so its confirmation waits for as long as the case needs.
    QCOMPARE(::kill(pid_t(serverPid), SIGSTOP), 0);
    QSignalSpy confirmed(chat, &Chat::docDeletedFromServer);
    DocDrop::click(window, findItem(row(0), QStringLiteral("removeButton")));
    QVERIFY(pane->isVisible());
    QTest::qWait(500);
    QVERIFY(pane->isVisible());
    QCOMPARE(docs->rowCount(), 2);
    QVERIFY(findItem(pane, QStringLiteral("loadIndicator"))->isVisible());
    saveScreenshot(window, QStringLiteral("docview-removing"));

    QCOMPARE(::kill(pid_t(serverPid), SIGCONT), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!pane->isVisible(), 30000);
    QCOMPARE(confirmed.count(), 1);
    QCOMPARE(confirmed.first().first().toInt(), 0);
    QCOMPARE(docs->rowCount(), 1);
    QCOMPARE(docs->data(docs->index(0), DocList::DocPathRole).toString(), alphaUrl);
    QVERIFY(!item(QStringLiteral("emptyListTitle"))->isVisible());
    // The removed row's delegate goes with the next frame; a user's next click comes later.
    QTRY_COMPARE(findItems(list, QStringLiteral("removeButton")).size(), 1);
}

void tst_DocView::removingTheLastRowShowsTheTitleAgain()
{
    QCOMPARE(docs->rowCount(), 1);
    DocDrop::click(window, findItem(row(0), QStringLiteral("removeButton")));
    QTRY_COMPARE_WITH_TIMEOUT(docs->rowCount(), 0, 30000);
    QTRY_VERIFY(item(QStringLiteral("emptyListTitle"))->isVisible());
    QVERIFY(!item(QStringLiteral("loadingPane"))->isVisible());
    QTest::qWait(300);
    saveScreenshot(window, QStringLiteral("docview-emptied"));
}

void tst_DocView::busyPaneComesDownWhenTheServerEnds()
{
    QVERIFY(DocDrop::dropUrls(window, item(QStringLiteral("dropArea")), { QUrl(lateUrl) }));
    QTRY_COMPARE_WITH_TIMEOUT(docs->rowCount(), 1, 30000);
    QTRY_VERIFY(row(0) && findItem(row(0), QStringLiteral("removeButton")));
    QQuickItem *pane = item(QStringLiteral("loadingPane"));

    QCOMPARE(::kill(pid_t(serverPid), SIGSTOP), 0);
    DocDrop::click(window, findItem(row(0), QStringLiteral("removeButton")));
    QVERIFY(pane->isVisible());
    QCOMPARE(::kill(pid_t(serverPid), SIGKILL), 0);
    // The delete is lost with the server: the pane comes down and the row stays.
    QTRY_VERIFY_WITH_TIMEOUT(!pane->isVisible(), 10000);
    QCOMPARE(docs->rowCount(), 1);
    QTest::qWait(300);
    saveScreenshot(window, QStringLiteral("docview-server-ended"));
}

int main(int argc, char **argv)
{
    // The hover band on the row is timed with a clock.
    timeAnimationsByTheClock();
    // No online service in these cases; the window's WebSocket finds nobody.
    return runInDemoProgram<tst_DocView>(argc, argv);
}

#include "tst_docview.moc"
