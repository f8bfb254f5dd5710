#include "application.h"
#include "chat.h"
#include "chatlist.h"
#include "demoprogram.h"
#include "llmclient.h"
#include "message.h"
#include "user.h"

#include <tessellum/chunk.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSet>
#include <QSignalSpy>
#include <QtTest>

#include <csignal>

#include <sys/types.h>

using namespace UiTestEnvironment;

namespace {

const QString lighthouseQuestion
    = QStringLiteral("What does the lighthouse keeper feed the seagulls?");
const QString bakeryQuestion = QStringLiteral("Which bread does the baker bake at the bakery?");

QJsonObject chunk(const QString &doc, int page, const QString &text, double y)
{
    return QJsonObject { { QStringLiteral("type"), QStringLiteral("chunk") },
        { QStringLiteral("doc"), doc }, { QStringLiteral("index"), 0 },
        { QStringLiteral("page"), page }, { QStringLiteral("text"), text },
        { QStringLiteral("bbox"),
            QJsonObject { { QStringLiteral("x"), 72.0 }, { QStringLiteral("y"), y },
                { QStringLiteral("width"), 300.0 }, { QStringLiteral("height"), 14.0 } } } };
}

bool sameChunk(const Chunk &a, const Chunk &b)
{
    return a.doc() == b.doc() && a.page() == b.page() && a.rect() == b.rect();
}

QColor pixel(const QImage &image, QQuickItem *item, const QPointF &local)
{
    const QPointF scene = item->mapToScene(local) * image.devicePixelRatio();
    return image.pixelColor(scene.toPoint());
}

} // namespace

// The chat view in the real window, against the real oraculd on the demo models, driven with the
// keyboard and the mouse as a user drives it.
class tst_ChatView : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    // One conversation, built up case by case: user, answer, user, answer.
    void nothingIsSentWhileAnAnswerIsPending();
    void answerStreamsIntoItsBubble();
    void sendButtonSendsTheKeptText();
    void bubblesSitOnTheirSides_data();
    void bubblesSitOnTheirSides();
    void timeShowsUnderRows_data();
    void timeShowsUnderRows();
    void referenceButtonsCallRefClicked_data();
    void referenceButtonsCallRefClicked();
    void screenshotOfTheAnsweredChat();
    void emptyFieldSendsNothingButABlankIsSent();
    void bubbleStopsAtFourFifthsOfTheList_data();
    void bubbleStopsAtFourFifthsOfTheList();
    void referencesWrapInsideTheBubble();
    void referenceTakesClicksOnItsLabelOnly_data();
    void referenceTakesClicksOnItsLabelOnly();
    void unlistedReferenceIsToldInTheWindow();
    void clickAnywhereOnThePillFocusesTheField_data();
    void clickAnywhereOnThePillFocusesTheField();
    void inputTakesMostOfTheViewWidth_data();
    void inputTakesMostOfTheViewWidth();
    // Last: the server is gone afterwards.
    void serverEndSaysWhyAndFreesTheInput();

private:
    QQuickItem *row(int index) const;
    QQuickItem *inRow(int index, const QString &objectName) const;
    QString fieldText() const;
    void type(const QString &text);
    void pressCtrlReturn();
    void click(QQuickItem *item);
    void clickAt(QQuickItem *item, const QPointF &local);
    void settle();
    // A whole answer as the back end delivers one, with references to `references` passages;
    // returns its row once its bubble has come to rest.
    int appendAnswer(const QString &text, int references);
    QList<QQuickItem *> referenceButtons(int row) const;

    Chat *chat = nullptr;
    ChatList *messages = nullptr;
    QQuickWindow *window = nullptr;
    QQuickItem *list = nullptr;
    QQuickItem *field = nullptr;
    QQuickItem *sendButton = nullptr;
    qint64 serverPid = 0;
    QString docUrl;
};

void tst_ChatView::initTestCase()
{
    window = mainWindow();
    QVERIFY(window);
    QVERIFY(QTest::qWaitForWindowExposed(window));
    // Window shortcuts need the active window; Xvfb has no window manager to give it.
    window->requestActivate();
    QVERIFY(QTest::qWaitForWindowActive(window));
    chat = qApp->findChild<Chat *>();
    QVERIFY(chat);
    messages = chat->openedChatUser()->messages();

    // The program opens on the document view; its chat button leads to the chat.
    QQuickItem *chatButton = findItem(window, QStringLiteral("chatButton"));
    QVERIFY(chatButton);
    click(chatButton);
    QTRY_VERIFY(findItem(window, QStringLiteral("openedChatList")));
    settle();
    list = findItem(window, QStringLiteral("openedChatList"));
    field = findItem(window, QStringLiteral("messageField"));
    sendButton = findItem(window, QStringLiteral("sendButton"));
    QVERIFY(list && field && sendButton);

    LLMClient *client = chat->llmClient();
    auto *socket = client->findChild<QLocalSocket *>();
    QVERIFY(socket);
    QTRY_COMPARE_WITH_TIMEOUT(socket->state(), QLocalSocket::ConnectedState, 60000);
    serverPid = client->findChild<QProcess *>()->processId();
    QVERIFY(serverPid > 0);

    // The passages the answers refer to, handed to the server as an ingestion hands them.
    docUrl = QUrl::fromLocalFile(privateRoot() + QStringLiteral("/harbour.pdf")).toString();
    const QJsonArray chunks {
        chunk(docUrl, 0, QStringLiteral("The lighthouse keeper feeds the seagulls fresh sardines."),
            100.0),
        chunk(docUrl, 3, QStringLiteral("The baker bakes rye bread at the village bakery."), 420.0),
        chunk(
            docUrl, 5, QStringLiteral("Mountain trains climb the steep valley in winter."), 200.0),
    };
    QVERIFY(chat->sendToServer(QJsonObject { { QStringLiteral("type"), QStringLiteral("chunks") },
        { QStringLiteral("chunks"), chunks } }));
    QVERIFY(!answerSentence().isEmpty());
}

void tst_ChatView::cleanup()
{
    // A failed case must not leave the server stopped.
    if (serverPid > 0)
        ::kill(pid_t(serverPid), SIGCONT);
}

QQuickItem *tst_ChatView::row(int index) const
{
    QQuickItem *item = nullptr;
    QMetaObject::invokeMethod(
        list, "itemAtIndex", Q_RETURN_ARG(QQuickItem *, item), Q_ARG(int, index));
    return item;
}

QQuickItem *tst_ChatView::inRow(int index, const QString &objectName) const
{
    return findItem(row(index), objectName);
}

QString tst_ChatView::fieldText() const
{
    return field->property("text").toString();
}

void tst_ChatView::type(const QString &text)
{
    click(field);
    QTRY_VERIFY(field->hasActiveFocus());
    for (const QChar c : text)
        QTest::keyClick(window, c.toLatin1());
}

void tst_ChatView::pressCtrlReturn()
{
    QTest::keyClick(window, Qt::Key_Return, Qt::ControlModifier);
}

void tst_ChatView::click(QQuickItem *item)
{
    const QPointF centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
    QTest::mouseClick(window, Qt::LeftButton, Qt::NoModifier, centre.toPoint());
}

void tst_ChatView::clickAt(QQuickItem *item, const QPointF &local)
{
    QTest::mouseClick(window, Qt::LeftButton, Qt::NoModifier, item->mapToScene(local).toPoint());
}

int tst_ChatView::appendAnswer(const QString &text, int references)
{
    if (chat->isWaitingMsg())
        return -1;
    QJsonArray sources;
    for (int i = 0; i < references; ++i) {
        sources.append(QJsonObject { { QStringLiteral("metadata"),
            QJsonObject { { QStringLiteral("doc"), docUrl }, { QStringLiteral("page"), i },
                { QStringLiteral("x"), 72 }, { QStringLiteral("y"), 100 },
                { QStringLiteral("width"), 300 }, { QStringLiteral("height"), 14 } } } });
    }
    chat->messageReceived(
        QJsonDocument(QJsonObject { { QStringLiteral("type"), QStringLiteral("ANS") },
            { QStringLiteral("answer"), text }, { QStringLiteral("sources"), sources } }));
    const int answerRow = messages->count() - 1;
    // It bounces in, and the list scrolls it into view.
    if (!QTest::qWaitFor(
            [&] {
                QQuickItem *item = row(answerRow);
                return item && item->x() == 0.0 && !list->property("moving").toBool()
                    && item->mapToItem(list, QPointF(0, item->height())).y() <= list->height();
            },
            10000))
        return -1;
    return answerRow;
}

QList<QQuickItem *> tst_ChatView::referenceButtons(int index) const
{
    QList<QQuickItem *> buttons = findItems(inRow(index, QStringLiteral("bubble")), "refButton");
    // In reading order: line by line, then from the left.
    std::sort(buttons.begin(), buttons.end(), [](QQuickItem *a, QQuickItem *b) {
        return a->y() != b->y() ? a->y() < b->y() : a->x() < b->x();
    });
    return buttons;
}

void tst_ChatView::settle()
{
    // The stack's transition to the chat view, then the bubbles: new ones bounce in from the
    // middle, and the list scrolls the newest into view.
    QObject *stack = findObject(window, QStringLiteral("mainStack"));
    QVERIFY(stack);
    QTRY_VERIFY_WITH_TIMEOUT(!stack->property("busy").toBool(), 10000);
    if (!list)
        return;
    const auto atRest = [this] {
        if (list->property("moving").toBool())
            return false;
        for (int i = 0; i < messages->count(); ++i) {
            const QQuickItem *item = row(i);
            if (!item)
                continue;
            const qreal place = messages->at(i)->userID() == 0 ? list->width() - item->width() : 0;
            if (item->x() != place)
                return false;
        }
        return true;
    };
    QTRY_VERIFY_WITH_TIMEOUT(atRest(), 10000);
}

void tst_ChatView::nothingIsSentWhileAnAnswerIsPending()
{
    // The server is held still, so the answer stays pending for as long as the case needs.
    QCOMPARE(::kill(pid_t(serverPid), SIGSTOP), 0);

    type(lighthouseQuestion);
    QCOMPARE(fieldText(), lighthouseQuestion);
    pressCtrlReturn();
    QCOMPARE(messages->count(), 2);
    QCOMPARE(messages->at(0)->contents(), lighthouseQuestion);
    QCOMPARE(messages->at(0)->userID(), 0);
    QCOMPARE(messages->at(1)->userID(), 1);
    QVERIFY(chat->isWaitingMsg());
    QCOMPARE(fieldText(), QString());
    QTRY_COMPARE(list->property("currentIndex").toInt(), 1);

    type(bakeryQuestion);
    pressCtrlReturn();
    click(sendButton);
    QCOMPARE(messages->count(), 2);
    QCOMPARE(fieldText(), bakeryQuestion);

    settle();
    QQuickItem *pending = row(1);
    QVERIFY(pending);
    // Under load the bounce-in can outlast the wait above.
    QTRY_COMPARE_WITH_TIMEOUT(pending->x(), 0.0, 10000);
    QVERIFY(inRow(1, QStringLiteral("loadIndicator"))->isVisible());
    QQuickItem *bubble = inRow(1, QStringLiteral("bubble"));
    const QImage image = saveScreenshot(window, QStringLiteral("chat-pending"));
    QCOMPARE(pixel(image, bubble, QPointF(5, bubble->height() / 2)), QColor("#252B35"));
}

void tst_ChatView::answerStreamsIntoItsBubble()
{
    QQuickItem *indicator = inRow(1, QStringLiteral("loadIndicator"));
    QQuickItem *text = inRow(1, QStringLiteral("messageText"));
    QVERIFY(indicator && text);

    // What the bubble shows at every change of the pending answer.
    struct Seen
    {
        QString text;
        bool indicator;
    };
    QList<Seen> seen;
    connect(messages, &QAbstractItemModel::dataChanged, this,
        [&](const QModelIndex &topLeft, const QModelIndex &, const QList<int> &roles) {
            // At text changes: a reply switches the indicator before it sets the text.
            if (topLeft.row() == 1 && roles.contains(ChatList::ContentsRole))
                seen.append({ text->property("text").toString(), indicator->isVisible() });
        });

    QCOMPARE(::kill(pid_t(serverPid), SIGCONT), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!chat->isWaitingMsg(), 60000);
    disconnect(messages, &QAbstractItemModel::dataChanged, this, nullptr);

    QCOMPARE(text->property("text").toString().trimmed(), answerSentence());
    QVERIFY(!indicator->isVisible());
    QVERIFY(!seen.isEmpty());
    bool anyText = false;
    for (const Seen &s : seen) {
        QCOMPARE(s.indicator, s.text.isEmpty());
        anyText = anyText || !s.text.isEmpty();
    }
    QVERIFY(anyText);
    QVERIFY(messages->at(1)->sourceAt(0));
}

void tst_ChatView::sendButtonSendsTheKeptText()
{
    QCOMPARE(fieldText(), bakeryQuestion);
    click(sendButton);
    QCOMPARE(messages->count(), 4);
    QCOMPARE(messages->at(2)->contents(), bakeryQuestion);
    QCOMPARE(fieldText(), QString());
    QTRY_COMPARE(list->property("currentIndex").toInt(), 3);
    QTRY_VERIFY_WITH_TIMEOUT(!chat->isWaitingMsg(), 60000);
    QCOMPARE(messages->at(3)->contents().trimmed(), answerSentence());
    QVERIFY(messages->at(3)->sourceAt(0));
    settle();
}

void tst_ChatView::bubblesSitOnTheirSides_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<bool>("right");
    QTest::addColumn<QColor>("colour");

    QTest::newRow("question") << 0 << true << QColor("#2D6CF7");
    QTest::newRow("answer") << 1 << false << QColor("#252B35");
    QTest::newRow("second question") << 2 << true << QColor("#2D6CF7");
    QTest::newRow("second answer") << 3 << false << QColor("#252B35");
}

void tst_ChatView::bubblesSitOnTheirSides()
{
    QFETCH(int, index);
    QFETCH(bool, right);
    QFETCH(QColor, colour);

    QQuickItem *item = row(index);
    QVERIFY(item);
    QQuickItem *bubble = inRow(index, QStringLiteral("bubble"));
    QCOMPARE(bubble->property("color").value<QColor>(), colour);
    if (right)
        QTRY_COMPARE_WITH_TIMEOUT(item->x() + item->width(), list->width(), 10000);
    else
        QTRY_COMPARE_WITH_TIMEOUT(item->x(), 0.0, 10000);
    QVERIFY(bubble->width() <= list->width() * 0.8);
}

void tst_ChatView::timeShowsUnderRows_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<bool>("shown");

    QTest::newRow("question") << 0 << true;
    QTest::newRow("answer followed by a question") << 1 << false;
    QTest::newRow("second question") << 2 << true;
    QTest::newRow("last answer") << 3 << true;
}

void tst_ChatView::timeShowsUnderRows()
{
    QFETCH(int, index);
    QFETCH(bool, shown);

    QQuickItem *time = inRow(index, QStringLiteral("timeText"));
    QVERIFY(time);
    QCOMPARE(time->isVisible(), shown);
    QCOMPARE(time->property("text").toString(), messages->at(index)->time());
    QQuickItem *bubble = inRow(index, QStringLiteral("bubble"));
    QCOMPARE(row(index)->height(), bubble->height() + (shown ? 25 : 0));
}

void tst_ChatView::referenceButtonsCallRefClicked_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("page");

    QTest::newRow("first answer, lighthouse") << 1 << 0;
    QTest::newRow("second answer, bakery") << 3 << 3;
}

void tst_ChatView::referenceButtonsCallRefClicked()
{
    QFETCH(int, index);
    QFETCH(int, page);

    QQuickItem *bubble = inRow(index, QStringLiteral("bubble"));
    QList<QQuickItem *> buttons = findItems(bubble, QStringLiteral("refButton"));
    QVERIFY(!buttons.isEmpty());
    std::sort(buttons.begin(), buttons.end(),
        [](QQuickItem *a, QQuickItem *b) { return a->x() < b->x(); });
    for (int i = 0; i < buttons.size(); ++i) {
        const QList<QQuickItem *> labels = buttons.at(i)->childItems();
        QVERIFY(!labels.isEmpty());
        QCOMPARE(labels.first()->property("text").toString(), QStringLiteral("[%1]").arg(i + 1));
    }

    QSignalSpy highlighted(messages, &ChatList::highlightRef);
    click(buttons.first());
    QCOMPARE(highlighted.count(), 1);
    const Chunk clicked = highlighted.first().first().value<Chunk>();
    QVERIFY(sameChunk(clicked, *messages->at(index)->sourceAt(0)));
    QCOMPARE(clicked.doc(), docUrl);
    QCOMPARE(clicked.page(), page);
}

void tst_ChatView::screenshotOfTheAnsweredChat()
{
    // The clicks above named a document that is not listed; what they were told goes by itself.
    if (QQuickItem *notice = findItem(window, QStringLiteral("refNotice")))
        QTRY_VERIFY_WITH_TIMEOUT(!notice->isVisible(), 10000);
    const QImage image = saveScreenshot(window, QStringLiteral("chat-answered"));
    QQuickItem *question = inRow(0, QStringLiteral("bubble"));
    QQuickItem *answer = inRow(1, QStringLiteral("bubble"));
    // Inside each bubble, in the padding beside its text.
    QCOMPARE(pixel(image, question, QPointF(5, question->height() / 2)), QColor("#2D6CF7"));
    QCOMPARE(pixel(image, answer, QPointF(5, answer->height() / 2)), QColor("#252B35"));
    QVERIFY(question->mapToScene(QPointF(question->width(), 0)).x() > window->width() * 0.75);
    QVERIFY(answer->mapToScene(QPointF(0, 0)).x() < window->width() * 0.25);
}

void tst_ChatView::emptyFieldSendsNothingButABlankIsSent()
{
    const int before = messages->count();
    QCOMPARE(fieldText(), QString());
    click(sendButton);
    pressCtrlReturn();
    QCOMPARE(messages->count(), before);

    type(QStringLiteral(" "));
    click(sendButton);
    QCOMPARE(messages->count(), before + 2);
    QCOMPARE(messages->at(before)->contents(), QStringLiteral(" "));
    QTRY_VERIFY_WITH_TIMEOUT(!chat->isWaitingMsg(), 60000);
    QCOMPARE(list->property("currentIndex").toInt(), before + 1);
}

void tst_ChatView::bubbleStopsAtFourFifthsOfTheList_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("atLimit");
    QTest::newRow("short answer") << QStringLiteral("Yes, on the pier.") << false;
    QTest::newRow("long answer") << QStringLiteral(
        "The keeper climbs the tower every evening, polishes the lens, winds the "
        "clockwork and then walks down to the pier with a bucket of sardines.")
                                 << true;
}

void tst_ChatView::bubbleStopsAtFourFifthsOfTheList()
{
    QFETCH(QString, text);
    QFETCH(bool, atLimit);
    const int answerRow = appendAnswer(text, 0);
    QVERIFY(answerRow >= 0);
    QQuickItem *bubble = inRow(answerRow, QStringLiteral("bubble"));
    QQuickItem *textItem = inRow(answerRow, QStringLiteral("messageText"));
    QVERIFY(bubble && textItem);
    const qreal limit = list->width() * 0.8;
    if (atLimit) {
        QCOMPARE(bubble->width(), limit);
        // What does not fit wraps onto further lines inside the bubble.
        QVERIFY(textItem->property("lineCount").toInt() > 1);
        QCOMPARE(textItem->width(), limit - 24);
    } else {
        QCOMPARE(bubble->width(), textItem->implicitWidth() + 24);
        QVERIFY(bubble->width() < limit);
        QCOMPARE(textItem->property("lineCount").toInt(), 1);
    }
    saveScreenshot(window, QStringLiteral("chat-bubble-%1").arg(atLimit ? "long" : "short"));
}

void tst_ChatView::referencesWrapInsideTheBubble()
{
    const int answerRow = appendAnswer(QStringLiteral("See the passages."), 12);
    QVERIFY(answerRow >= 0);
    QQuickItem *bubble = inRow(answerRow, QStringLiteral("bubble"));
    QQuickItem *textItem = inRow(answerRow, QStringLiteral("messageText"));
    const QList<QQuickItem *> buttons = referenceButtons(answerRow);
    QCOMPARE(buttons.size(), 12);
    // Twelve references do not fit on one line of the widest bubble.
    QCOMPARE(bubble->width(), list->width() * 0.8);

    const QRectF inBubble(0, 0, bubble->width(), bubble->height());
    QSet<qreal> lines;
    for (int i = 0; i < buttons.size(); ++i) {
        QQuickItem *button = buttons.at(i);
        QCOMPARE(button->childItems().first()->property("text").toString(),
            QStringLiteral("[%1]").arg(i + 1));
        const QRectF box
            = button->mapRectToItem(bubble, QRectF(0, 0, button->width(), button->height()));
        QVERIFY2(inBubble.contains(box),
            qPrintable(QStringLiteral("[%1] at %2,%3 %4x%5 in a bubble of %6x%7")
                           .arg(i + 1)
                           .arg(box.x())
                           .arg(box.y())
                           .arg(box.width())
                           .arg(box.height())
                           .arg(bubble->width())
                           .arg(bubble->height())));
        lines.insert(box.y());
    }
    QVERIFY(lines.size() >= 2);
    // The bubble grows by the extra lines: the last one ends inside it, below the text.
    const QQuickItem *last = buttons.last();
    const qreal lastBottom = last->mapToItem(bubble, QPointF(0, last->height())).y();
    QVERIFY(lastBottom > textItem->mapToItem(bubble, QPointF(0, textItem->height())).y());
    QVERIFY(bubble->height() >= lastBottom + 4);
    QCOMPARE(row(answerRow)->height(), bubble->height() + 25);
    saveScreenshot(window, QStringLiteral("chat-many-references"));
}

void tst_ChatView::referenceTakesClicksOnItsLabelOnly_data()
{
    QTest::addColumn<QPointF>("fraction"); // of the label's width and height
    QTest::addColumn<QPointF>("shift"); // pixels from there
    QTest::addColumn<bool>("taken");
    QTest::newRow("top left of the text") << QPointF(0, 0) << QPointF(1, 1) << true;
    QTest::newRow("bottom right of the text") << QPointF(1, 1) << QPointF(-1, -1) << true;
    QTest::newRow("centre") << QPointF(0.5, 0.5) << QPointF(0, 0) << true;
    QTest::newRow("just above") << QPointF(0.5, 0) << QPointF(0, -3) << false;
    QTest::newRow("just below") << QPointF(0.5, 1) << QPointF(0, 3) << false;
    QTest::newRow("just left") << QPointF(0, 0.5) << QPointF(-3, 0) << false;
    QTest::newRow("just right") << QPointF(1, 0.5) << QPointF(3, 0) << false;
}

void tst_ChatView::referenceTakesClicksOnItsLabelOnly()
{
    QFETCH(QPointF, fraction);
    QFETCH(QPointF, shift);
    QFETCH(bool, taken);
    const int answerRow = messages->count() - 1;
    const QList<QQuickItem *> buttons = referenceButtons(answerRow);
    QCOMPARE(buttons.size(), 12);
    // The text the button draws.
    QQuickItem *label = buttons.at(9)->childItems().value(0);
    QVERIFY(label);
    QCOMPARE(label->property("text").toString(), QStringLiteral("[10]"));
    const QPointF point(
        fraction.x() * label->width() + shift.x(), fraction.y() * label->height() + shift.y());

    QSignalSpy highlighted(messages, &ChatList::highlightRef);
    clickAt(label, point);
    QCOMPARE(highlighted.count(), taken ? 1 : 0);
    if (taken)
        QCOMPARE(highlighted.first().first().value<Chunk>().page(), 9);
}

void tst_ChatView::unlistedReferenceIsToldInTheWindow()
{
    QQuickItem *notice = findItem(window, QStringLiteral("refNotice"));
    QVERIFY(notice);
    QTRY_VERIFY_WITH_TIMEOUT(!notice->isVisible(), 10000);
    // harbour.pdf went to the server without being listed.
    QElapsedTimer shown;
    shown.start();
    click(referenceButtons(messages->count() - 1).first());
    QVERIFY(notice->isVisible());
    const QString text
        = findItem(notice, QStringLiteral("refNoticeText"))->property("text").toString();
    QVERIFY2(text.startsWith(QStringLiteral("harbour.pdf is no longer listed")), qPrintable(text));
    const QImage image = saveScreenshot(window, QStringLiteral("chat-reference-unlisted"));
    // Drawn over the thread, above the input, inside the window.
    const QRectF box = notice->mapRectToScene(QRectF(0, 0, notice->width(), notice->height()));
    QVERIFY(QRectF(0, 0, window->width(), window->height()).contains(box));
    QVERIFY(
        box.bottom() <= findItem(window, QStringLiteral("chatInput"))->mapToScene(QPointF()).y());
    QCOMPARE(pixel(image, notice, QPointF(notice->width() / 2, 3)), QColor("#252B35"));
    // Long enough to read, then out of the way: 5 s, with room for a loaded machine.
    QTRY_VERIFY_WITH_TIMEOUT(!notice->isVisible(), 10000);
    const qint64 lasted = shown.elapsed();
    qInfo("notice shown for %lld ms", lasted);
    QVERIFY2(lasted >= 4900 && lasted <= 6500, qPrintable(QString::number(lasted)));
}

void tst_ChatView::clickAnywhereOnThePillFocusesTheField_data()
{
    QTest::addColumn<QString>("where");
    QTest::addColumn<bool>("focused");
    QTest::newRow("top edge") << "top" << true;
    QTest::newRow("bottom edge") << "bottom" << true;
    QTest::newRow("round left end") << "left" << true;
    QTest::newRow("beside the send button") << "beside" << true;
    QTest::newRow("middle of the field") << "middle" << true;
    QTest::newRow("send button") << "send" << false;
}

void tst_ChatView::clickAnywhereOnThePillFocusesTheField()
{
    QFETCH(QString, where);
    QFETCH(bool, focused);
    QQuickItem *pill = findItem(window, QStringLiteral("chatInput"));
    QVERIFY(pill);
    list->forceActiveFocus();
    QTRY_VERIFY(!field->hasActiveFocus());
    const qreal h = pill->height();
    const QHash<QString, QPointF> points {
        { QStringLiteral("top"), QPointF(pill->width() * 0.4, 1) },
        { QStringLiteral("bottom"), QPointF(pill->width() * 0.4, h - 2) },
        { QStringLiteral("left"), QPointF(8, h / 2) },
        { QStringLiteral("beside"),
            QPointF(sendButton->mapToItem(pill, QPointF()).x() - 3, h / 2) },
        { QStringLiteral("middle"), QPointF(pill->width() * 0.4, h / 2) },
        { QStringLiteral("send"), QPointF(pill->width() - 8 - sendButton->width() / 2, h / 2) },
    };
    clickAt(pill, points.value(where));
    if (!focused) {
        QVERIFY(!field->hasActiveFocus());
        return;
    }
    QTRY_VERIFY(field->hasActiveFocus());
    // What is typed next lands in the field.
    QTest::keyClick(window, 'k');
    QCOMPARE(fieldText(), QStringLiteral("k"));
    field->setProperty("text", QString());
}

void tst_ChatView::inputTakesMostOfTheViewWidth_data()
{
    QTest::addColumn<int>("windowWidth");
    QTest::newRow("as the window opens") << 0;
    QTest::newRow("a wider window") << 600;
}

void tst_ChatView::inputTakesMostOfTheViewWidth()
{
    QFETCH(int, windowWidth);
    const int opened = window->width();
    if (windowWidth > 0)
        window->resize(windowWidth, window->height());
    QQuickItem *pill = findItem(window, QStringLiteral("chatInput"));
    QQuickItem *view = findItem(window, QStringLiteral("openedChatView"));
    QVERIFY(pill && view);
    QTRY_COMPARE(view->width(), qreal(window->width()));
    const auto placed = [&] {
        return qAbs(pill->width() - 0.87 * view->width()) < 0.5
            && qAbs(pill->x() - (view->width() - pill->width()) / 2) < 0.5;
    };
    QTRY_VERIFY2(placed(), qPrintable(QStringLiteral("%1 of %2").arg(pill->width()).arg(view->width())));
    window->resize(opened, window->height());
    QTRY_COMPARE(view->width(), qreal(opened));
}

void tst_ChatView::serverEndSaysWhyAndFreesTheInput()
{
    QCOMPARE(::kill(pid_t(serverPid), SIGSTOP), 0);
    type(lighthouseQuestion);
    pressCtrlReturn();
    const int answerRow = messages->count() - 1;
    QVERIFY(chat->isWaitingMsg());
    QCOMPARE(::kill(pid_t(serverPid), SIGKILL), 0);
    serverPid = 0;
    QTRY_VERIFY_WITH_TIMEOUT(!chat->isWaitingMsg(), 10000);
    QVERIFY(messages->at(answerRow)->contents().startsWith(
        QStringLiteral("The local server ended before it answered.")));

    // The input is free again: the next question is taken and told that nobody listens.
    type(bakeryQuestion);
    pressCtrlReturn();
    QCOMPARE(messages->count(), answerRow + 3);
    QCOMPARE(fieldText(), QString());
    QVERIFY(!chat->isWaitingMsg());
    settle();
    for (int row : { answerRow, answerRow + 2 }) {
        QTRY_VERIFY(inRow(row, QStringLiteral("messageText")));
        QVERIFY(!inRow(row, QStringLiteral("loadIndicator"))->isVisible());
    }
    QVERIFY(inRow(answerRow + 2, QStringLiteral("messageText"))
                ->property("text")
                .toString()
                .startsWith(QStringLiteral("The local server is not running, so the question was "
                                           "not sent.")));
    saveScreenshot(window, QStringLiteral("chat-server-ended"));
}

int main(int argc, char **argv)
{
    // The notice on the chat is timed with a clock.
    timeAnimationsByTheClock();
    // No online service in these cases; the window's WebSocket finds nobody.
    return runInDemoProgram<tst_ChatView>(argc, argv);
}

#include "tst_chatview.moc"
