#include "message.h"
#include "user.h"

#include <QSignalSpy>
#include <QTest>

class tst_User : public QObject
{
    Q_OBJECT

private slots:
    void keepsWhatItWasMadeOf_data();
    void keepsWhatItWasMadeOf();
    void settersSignalOnlyOnChange();
    void reEmitsTheReferenceClickedInItsList();
    void rowOperationsReachItsList();
};

void tst_User::keepsWhatItWasMadeOf_data()
{
    QTest::addColumn<QString>("imageURL");
    QTest::addColumn<QString>("expected");
    QTest::newRow("no avatar given") << ""
                                     << "qrc:/Media/Images/avatar.jpg";
    QTest::newRow("own avatar") << "qrc:/Media/Images/other.png"
                                << "qrc:/Media/Images/other.png";
}

void tst_User::keepsWhatItWasMadeOf()
{
    QFETCH(QString, imageURL);
    QFETCH(QString, expected);
    QObject owner;
    User *user = new User(1, QStringLiteral("ChatGPT"), QString(), imageURL, &owner);
    QCOMPARE(user->ID(), 1);
    QCOMPARE(user->name(), QStringLiteral("ChatGPT"));
    QCOMPARE(user->lastName(), QString());
    QCOMPARE(user->imageURL(), expected);
    QCOMPARE(user->isOnline(), false);
    QVERIFY(user->messages());
    QCOMPARE(user->messages()->parent(), user);
    // QML reads these by name.
    QCOMPARE(user->property("ID").toInt(), 1);
    QCOMPARE(user->property("messages").value<ChatList *>(), user->messages());
}

void tst_User::settersSignalOnlyOnChange()
{
    User user(0, QStringLiteral("Me"), QString(), QString());
    QSignalSpy imageSpy(&user, &User::imageURLChanged);
    QSignalSpy onlineSpy(&user, &User::isOnlineChanged);
    user.setImageURL(user.imageURL());
    user.setIsOnline(false);
    QCOMPARE(imageSpy.size(), 0);
    QCOMPARE(onlineSpy.size(), 0);
    user.setImageURL(QStringLiteral("qrc:/x.png"));
    user.setIsOnline(true);
    QCOMPARE(imageSpy.size(), 1);
    QCOMPARE(onlineSpy.size(), 1);
    QCOMPARE(user.imageURL(), QStringLiteral("qrc:/x.png"));
    QCOMPARE(user.isOnline(), true);
}

void tst_User::reEmitsTheReferenceClickedInItsList()
{
    User user(1, QStringLiteral("ChatGPT"), QString(), QString());
    user.appendMessage(new Message(QStringLiteral("answer"), 1,
        { Chunk(QStringLiteral("file:///a.pdf"), 0, 1, 2, 3, 4),
            Chunk(QStringLiteral("file:///b.pdf"), 3, 5, 6, 7, 8) },
        &user));
    QSignalSpy spy(&user, &User::highlightRef);
    user.messages()->refClicked(0, 1);
    QCOMPARE(spy.size(), 1);
    const Chunk chunk = spy.first().first().value<Chunk>();
    QCOMPARE(chunk.doc(), QStringLiteral("file:///b.pdf"));
    QCOMPARE(chunk.page(), 3);
    QCOMPARE(chunk.rect(), QRectF(5, 6, 7, 8));
}

void tst_User::rowOperationsReachItsList()
{
    User user(1, QStringLiteral("ChatGPT"), QString(), QString());
    ChatList *list = user.messages();
    QCOMPARE(user.appendMessage(new Message(QString(), 0, &user)), 0);
    QCOMPARE(user.appendMessage(new Message(QString(), 1, &user)), 1);
    QVERIFY(!user.messageHasContents(1));

    QVERIFY(user.appendToMessage(1, QStringLiteral("Hel")));
    QVERIFY(user.appendToMessage(1, QStringLiteral("lo")));
    QCOMPARE(list->at(1)->contents(), QStringLiteral("Hello"));
    QVERIFY(user.messageHasContents(1));
    QVERIFY(user.setMessageContents(0, QStringLiteral("question")));
    QCOMPARE(list->at(0)->contents(), QStringLiteral("question"));
    QVERIFY(user.setMessageLoading(1, true));
    QCOMPARE(list->at(1)->loading(), true);
    QVERIFY(user.setMessageSources(1, { Chunk() }));
    QCOMPARE(list->at(1)->sources().size(), 1);
    QVERIFY(!user.setMessageSources(1, {}));

    QVERIFY(user.removeMessage(0));
    QCOMPARE(list->count(), 1);
    QCOMPARE(list->at(0)->contents(), QStringLiteral("Hello"));
    QVERIFY(!user.removeMessage(1));
    QVERIFY(!user.appendToMessage(1, QStringLiteral("x")));
}

QTEST_GUILESS_MAIN(tst_User)
#include "tst_user.moc"
