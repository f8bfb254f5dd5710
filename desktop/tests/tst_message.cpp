#include "message.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTime>

#include <memory>

class tst_Message : public QObject
{
    Q_OBJECT

private slots:
    void startsStampedAndIdle_data();
    void startsStampedAndIdle();
    void contentsChangeOnlyWhenTheyDo_data();
    void contentsChangeOnlyWhenTheyDo();
    void loadingSignalsOnlyOnChange();
    void appendSourcesConvertsEveryElement();
    void sourceEntriesNumberFromOne();
    void sourceAtOutsideIsNull_data();
    void sourceAtOutsideIsNull();
};

void tst_Message::startsStampedAndIdle_data()
{
    QTest::addColumn<bool>("withSources");
    QTest::newRow("text only") << false;
    QTest::newRow("with references") << true;
}

void tst_Message::startsStampedAndIdle()
{
    QFETCH(bool, withSources);
    const QTime before = QTime::currentTime();
    const std::unique_ptr<Message> made(withSources
            ? new Message(QStringLiteral("hi"), 1, { Chunk(QStringLiteral("a"), 0, 1, 2, 3, 4) })
            : new Message(QStringLiteral("hi"), 1));
    const Message &message = *made;
    const QTime after = QTime::currentTime();

    // Hour and minute of the moment of construction, nothing finer; a minute may turn meanwhile.
    QVERIFY(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d$")).match(message.time()).hasMatch());
    QVERIFY2(message.time() == before.toString(QStringLiteral("HH:mm"))
            || message.time() == after.toString(QStringLiteral("HH:mm")),
        qPrintable(message.time()));
    QCOMPARE(message.contents(), QStringLiteral("hi"));
    QCOMPARE(message.userID(), 1);
    QCOMPARE(message.loading(), false);
    QCOMPARE(message.sources().size(), withSources ? 1 : 0);
}

void tst_Message::contentsChangeOnlyWhenTheyDo_data()
{
    QTest::addColumn<bool>("append");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("notifications");
    QTest::newRow("replace") << false << "other"
                             << "other" << 1;
    QTest::newRow("replace with same") << false << "start"
                                       << "start" << 0;
    QTest::newRow("replace with empty") << false << ""
                                        << "" << 1;
    QTest::newRow("append") << true << " more"
                            << "start more" << 1;
    QTest::newRow("append nothing") << true << ""
                                    << "start" << 0;
}

void tst_Message::contentsChangeOnlyWhenTheyDo()
{
    QFETCH(bool, append);
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QFETCH(int, notifications);
    Message message(QStringLiteral("start"), 0);
    QSignalSpy spy(&message, &Message::contentsChanged);
    if (append)
        message.appendContents(text);
    else
        message.setContents(text);
    QCOMPARE(message.contents(), expected);
    QCOMPARE(spy.size(), notifications);
    if (notifications)
        QCOMPARE(spy.first().first().toString(), expected); // the whole text, not the piece
}

void tst_Message::loadingSignalsOnlyOnChange()
{
    Message message(QString(), 1);
    QSignalSpy spy(&message, &Message::loadingChanged);
    message.setLoading(false);
    QCOMPARE(spy.size(), 0);
    message.setLoading(true);
    message.setLoading(true);
    QCOMPARE(spy.size(), 1);
    QCOMPARE(message.loading(), true);
}

void tst_Message::appendSourcesConvertsEveryElement()
{
    Message message(QString(), 1, { Chunk(QStringLiteral("first"), 2, 1, 2, 3, 4) });
    message.appendSources({ QVariant::fromValue(Chunk(QStringLiteral("second"), 5, 10, 20, 30, 40)),
        QVariant(42), QVariant(QStringLiteral("text")), QVariant() });
    const QList<Chunk> sources = message.sources();
    QCOMPARE(sources.size(), 5);
    QCOMPARE(sources.at(0).doc(), QStringLiteral("first"));
    QCOMPARE(sources.at(1).doc(), QStringLiteral("second"));
    QCOMPARE(sources.at(1).page(), 5);
    QCOMPARE(sources.at(1).rect(), QRectF(10, 20, 30, 40));
    // What is no Chunk stands as an empty one, so the numbering stays that of the list given.
    for (int i = 2; i < 5; ++i) {
        QCOMPARE(sources.at(i).doc(), QString());
        QCOMPARE(sources.at(i).page(), 0);
        QCOMPARE(sources.at(i).rect(), QRectF());
    }
}

void tst_Message::sourceEntriesNumberFromOne()
{
    Message message(QString(), 1);
    QCOMPARE(message.sourceEntries(), QVariantList());
    message.appendSources({ QVariant::fromValue(Chunk()), QVariant::fromValue(Chunk()) });
    const QVariantList expected { QVariantMap { { QStringLiteral("id"), 1 } },
        QVariantMap { { QStringLiteral("id"), 2 } } };
    QCOMPARE(message.sourceEntries(), expected);
}

void tst_Message::sourceAtOutsideIsNull_data()
{
    QTest::addColumn<int>("i");
    QTest::addColumn<QString>("doc");
    QTest::newRow("first") << 0 << "a";
    QTest::newRow("last") << 1 << "b";
    QTest::newRow("negative") << -1 << "";
    QTest::newRow("one past the end") << 2 << "";
}

void tst_Message::sourceAtOutsideIsNull()
{
    QFETCH(int, i);
    QFETCH(QString, doc);
    const Message message(QString(), 1,
        { Chunk(QStringLiteral("a"), 0, 0, 0, 1, 1), Chunk(QStringLiteral("b"), 1, 0, 0, 1, 1) });
    const Chunk *chunk = message.sourceAt(i);
    QCOMPARE(chunk == nullptr, doc.isEmpty());
    if (chunk)
        QCOMPARE(chunk->doc(), doc);
}

QTEST_GUILESS_MAIN(tst_Message)
#include "tst_message.moc"
