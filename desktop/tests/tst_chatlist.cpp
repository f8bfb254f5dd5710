#include "chatlist.h"
#include "message.h"

#include <QPointer>
#include <QSignalSpy>
#include <QStringListModel>
#include <QTest>

// Three messages owned by a parent object, as the assistant user owns them; row 0 carries two
// references.
class Conversation
{
public:
    Conversation()
    {
        list.appendMessage(new Message(QStringLiteral("question"), 0, &owner));
        list.appendMessage(new Message(QStringLiteral("answer"), 1,
            { Chunk(QStringLiteral("file:///a.pdf"), 0, 1, 2, 3, 4),
                Chunk(QStringLiteral("file:///b.pdf"), 2, 5, 6, 7, 8) },
            &owner));
        list.appendMessage(new Message(QString(), 1, &owner));
    }

    QObject owner;
    ChatList list;
};

class tst_ChatList : public QObject
{
    Q_OBJECT

private slots:
    void appendingAddsTheLastRow();
    void dataByRole_data();
    void dataByRole();
    void setDataByRole_data();
    void setDataByRole();
    void rowOperationsOutsideTheListChangeNothing_data();
    void rowOperationsOutsideTheListChangeNothing();
    void sourcesAccumulateAndNumberOverAll();
    void refClicked_data();
    void refClicked();
    void removeDeletesWithoutCountChanged();
    void removeRowsRefusesBadRanges_data();
    void removeRowsRefusesBadRanges();
    void roleNamesAreExactlyTheFive();
};

void tst_ChatList::appendingAddsTheLastRow()
{
    Conversation c;
    QSignalSpy inserted(&c.list, &QAbstractItemModel::rowsInserted);
    QSignalSpy count(&c.list, &ChatList::countChanged);
    Message *message = new Message(QStringLiteral("next"), 0, &c.owner);
    QCOMPARE(c.list.appendMessage(message), 3);
    QCOMPARE(inserted.size(), 1);
    QCOMPARE(inserted.first().at(1).toInt(), 3);
    QCOMPARE(inserted.first().at(2).toInt(), 3);
    QCOMPARE(count.size(), 1);
    QCOMPARE(c.list.property("count").toInt(), 4);
    QCOMPARE(c.list.at(3), message);
    // The list leaves ownership where it was.
    QCOMPARE(message->parent(), &c.owner);

    QCOMPARE(c.list.appendMessage(nullptr), -1);
    QCOMPARE(c.list.count(), 4);
    QCOMPARE(count.size(), 1);
}

void tst_ChatList::dataByRole_data()
{
    QTest::addColumn<int>("role");
    QTest::addColumn<QVariant>("expected"); // an invalid QVariant: nothing
    const QVariantList entries { QVariantMap { { QStringLiteral("id"), 1 } },
        QVariantMap { { QStringLiteral("id"), 2 } } };
    QTest::newRow("display: the message") << int(Qt::DisplayRole) << QVariant();
    QTest::newRow("user role: the message") << int(Qt::UserRole) << QVariant();
    QTest::newRow("userID") << int(ChatList::UserIDRole) << QVariant(1);
    QTest::newRow("contents") << int(ChatList::ContentsRole) << QVariant(QStringLiteral("answer"));
    QTest::newRow("append role") << int(ChatList::AppendContentsRole) << QVariant();
    QTest::newRow("sources: ids only") << int(ChatList::SourcesRole) << QVariant(entries);
    QTest::newRow("loading") << int(ChatList::LoadingRole) << QVariant(false);
    QTest::newRow("edit role") << int(Qt::EditRole) << QVariant();
    QTest::newRow("unknown") << 300 << QVariant();
}

void tst_ChatList::dataByRole()
{
    QFETCH(int, role);
    QFETCH(QVariant, expected);
    Conversation c;
    const QVariant value = c.list.data(c.list.index(1, 0), role);
    if (role == Qt::DisplayRole || role == Qt::UserRole) {
        QCOMPARE(QByteArray(value.metaType().name()), QByteArray("Message*"));
        QCOMPARE(value.value<Message *>(), c.list.at(1));
    } else if (!expected.isValid()) {
        QVERIFY(!value.isValid());
    } else {
        QCOMPARE(value, expected);
    }
    // Indexes the list does not hold give nothing, whatever the role.
    QStringListModel other({ QStringLiteral("a"), QStringLiteral("b") });
    QVERIFY(!c.list.data(c.list.index(3, 0), role).isValid());
    QVERIFY(!c.list.data(QModelIndex(), role).isValid());
    QVERIFY(!c.list.data(other.index(1, 0), role).isValid());
}

void tst_ChatList::setDataByRole_data()
{
    QTest::addColumn<int>("role");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QList<int>>("changedRoles");
    QTest::addColumn<QString>("contents");
    QTest::addColumn<int>("contentsSignals");
    const int contents = ChatList::ContentsRole;
    const int append = ChatList::AppendContentsRole;
    QTest::newRow("replace") << contents << QVariant("new") << true << QList<int> { contents }
                             << "new" << 1;
    // Views are told even when nothing changed.
    QTest::newRow("replace with same")
        << contents << QVariant("answer") << true << QList<int> { contents } << "answer" << 0;
    QTest::newRow("append") << append << QVariant(" more") << true
                            << QList<int> { contents, append } << "answer more" << 1;
    QTest::newRow("append empty") << append << QVariant("") << true
                                  << QList<int> { contents, append } << "answer" << 0;
    QTest::newRow("loading") << int(ChatList::LoadingRole) << QVariant(true) << true
                             << QList<int> { ChatList::LoadingRole } << "answer" << 0;
    QTest::newRow("userID refused")
        << int(ChatList::UserIDRole) << QVariant(0) << false << QList<int>() << "answer" << 0;
    QTest::newRow("time refused") << int(ChatList::TimeRole) << QVariant("00:00") << false
                                  << QList<int>() << "answer" << 0;
    QTest::newRow("display refused")
        << int(Qt::DisplayRole) << QVariant("x") << false << QList<int>() << "answer" << 0;
    QTest::newRow("user role refused")
        << int(Qt::UserRole) << QVariant("x") << false << QList<int>() << "answer" << 0;
    QTest::newRow("edit role refused")
        << int(Qt::EditRole) << QVariant("x") << false << QList<int>() << "answer" << 0;
}

void tst_ChatList::setDataByRole()
{
    QFETCH(int, role);
    QFETCH(QVariant, value);
    QFETCH(bool, accepted);
    QFETCH(QList<int>, changedRoles);
    QFETCH(QString, contents);
    QFETCH(int, contentsSignals);
    Conversation c;
    Message *message = c.list.at(1);
    QSignalSpy changed(&c.list, &QAbstractItemModel::dataChanged);
    QSignalSpy contentsSpy(message, &Message::contentsChanged);

    QCOMPARE(c.list.setData(c.list.index(1, 0), value, role), accepted);
    QCOMPARE(changed.size(), accepted ? 1 : 0);
    if (accepted) {
        QCOMPARE(changed.first().at(0).toModelIndex(), c.list.index(1, 0));
        QCOMPARE(changed.first().at(1).toModelIndex(), c.list.index(1, 0));
        QCOMPARE(changed.first().at(2).value<QList<int>>(), changedRoles);
    }
    QCOMPARE(message->contents(), contents);
    QCOMPARE(contentsSpy.size(), contentsSignals);
    QCOMPARE(message->userID(), 1);
}

void tst_ChatList::rowOperationsOutsideTheListChangeNothing_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<int>("row");
    for (const char *operation : { "appendToMessage", "setMessageContents", "setMessageSources",
             "setMessageLoading", "removeMessage", "messageHasContents" }) {
        for (int row : { -1, 3, 100 })
            QTest::addRow("%s(%d)", operation, row) << QString::fromLatin1(operation) << row;
    }
}

void tst_ChatList::rowOperationsOutsideTheListChangeNothing()
{
    QFETCH(QString, operation);
    QFETCH(int, row);
    Conversation c;
    QSignalSpy changed(&c.list, &QAbstractItemModel::dataChanged);
    QSignalSpy removed(&c.list, &QAbstractItemModel::rowsAboutToBeRemoved);
    bool result = true;
    if (operation == QLatin1String("appendToMessage"))
        result = c.list.appendToMessage(row, QStringLiteral("x"));
    else if (operation == QLatin1String("setMessageContents"))
        result = c.list.setMessageContents(row, QStringLiteral("x"));
    else if (operation == QLatin1String("setMessageSources"))
        result = c.list.setMessageSources(row, { Chunk() });
    else if (operation == QLatin1String("setMessageLoading"))
        result = c.list.setMessageLoading(row, true);
    else if (operation == QLatin1String("removeMessage"))
        result = c.list.removeMessage(row);
    else
        result = c.list.messageHasContents(row);
    QCOMPARE(result, false);
    QCOMPARE(changed.size(), 0);
    QCOMPARE(removed.size(), 0);
    QCOMPARE(c.list.count(), 3);
    QCOMPARE(c.list.at(row), nullptr);
    QCOMPARE(c.list.at(1)->contents(), QStringLiteral("answer"));
}

void tst_ChatList::sourcesAccumulateAndNumberOverAll()
{
    Conversation c;
    const QModelIndex row2 = c.list.index(2, 0);
    QSignalSpy changed(&c.list, &QAbstractItemModel::dataChanged);

    QVERIFY(!c.list.setMessageSources(2, {}));
    QCOMPARE(changed.size(), 0);

    QVERIFY(c.list.setMessageSources(2, { Chunk(QStringLiteral("file:///x.pdf"), 0, 0, 0, 1, 1) }));
    QVERIFY(c.list.setMessageSources(2,
        { Chunk(QStringLiteral("file:///y.pdf"), 1, 0, 0, 1, 1),
            Chunk(QStringLiteral("file:///z.pdf"), 4, 9, 8, 7, 6) }));
    QCOMPARE(changed.size(), 2);
    QCOMPARE(changed.last().at(2).value<QList<int>>(), QList<int> { ChatList::SourcesRole });
    const QVariantList expected { QVariantMap { { QStringLiteral("id"), 1 } },
        QVariantMap { { QStringLiteral("id"), 2 } }, QVariantMap { { QStringLiteral("id"), 3 } } };
    QCOMPARE(c.list.data(row2, ChatList::SourcesRole).toList(), expected);
    const Chunk *third = c.list.at(2)->sourceAt(2);
    QVERIFY(third);
    QCOMPARE(third->doc(), QStringLiteral("file:///z.pdf"));
    QCOMPARE(third->page(), 4);
    QCOMPARE(third->rect(), QRectF(9, 8, 7, 6));
}

void tst_ChatList::refClicked_data()
{
    QTest::addColumn<int>("msgIndex");
    QTest::addColumn<int>("refIndex");
    QTest::addColumn<QString>("doc"); // empty: nothing emitted
    QTest::newRow("first reference") << 1 << 0 << "file:///a.pdf";
    QTest::newRow("second reference") << 1 << 1 << "file:///b.pdf";
    QTest::newRow("one past the references") << 1 << 2 << "";
    QTest::newRow("far past the references") << 1 << 5 << "";
    QTest::newRow("negative reference") << 1 << -1 << "";
    QTest::newRow("message without references") << 0 << 0 << "";
    QTest::newRow("row past the list") << 3 << 0 << "";
    QTest::newRow("negative row") << -1 << 0 << "";
}

void tst_ChatList::refClicked()
{
    QFETCH(int, msgIndex);
    QFETCH(int, refIndex);
    QFETCH(QString, doc);
    Conversation c;
    QSignalSpy spy(&c.list, &ChatList::highlightRef);
    c.list.refClicked(msgIndex, refIndex);
    QCOMPARE(spy.size(), doc.isEmpty() ? 0 : 1);
    if (!doc.isEmpty()) {
        const Chunk chunk = spy.first().first().value<Chunk>();
        QCOMPARE(chunk.doc(), doc);
        QCOMPARE(chunk.rect(), refIndex == 0 ? QRectF(1, 2, 3, 4) : QRectF(5, 6, 7, 8));
    }
}

void tst_ChatList::removeDeletesWithoutCountChanged()
{
    Conversation c;
    QPointer<Message> removedMessage = c.list.at(1);
    Message *last = c.list.at(2);
    QSignalSpy removed(&c.list, &QAbstractItemModel::rowsRemoved);
    QSignalSpy count(&c.list, &ChatList::countChanged);

    QVERIFY(c.list.removeMessage(1));
    QVERIFY(removedMessage.isNull());
    QCOMPARE(c.list.at(1), last);
    QCOMPARE(c.list.count(), 2);
    QCOMPARE(c.list.rowCount(), 2);
    QCOMPARE(removed.size(), 1);
    QCOMPARE(removed.first().at(1).toInt(), 1);
    QCOMPARE(removed.first().at(2).toInt(), 1);
    QCOMPARE(count.size(), 0);
    QCOMPARE(c.owner.children().size(), 2);
}

void tst_ChatList::removeRowsRefusesBadRanges_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("childParent");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("all three") << 0 << 3 << false << true;
    QTest::newRow("last two") << 1 << 2 << false << true;
    QTest::newRow("past the end") << 2 << 2 << false << false;
    QTest::newRow("negative row") << -1 << 1 << false << false;
    QTest::newRow("no rows") << 1 << 0 << false << false;
    QTest::newRow("negative count") << 2 << -1 << false << false;
    QTest::newRow("below a row") << 0 << 1 << true << false;
}

void tst_ChatList::removeRowsRefusesBadRanges()
{
    QFETCH(int, row);
    QFETCH(int, count);
    QFETCH(bool, childParent);
    QFETCH(bool, accepted);
    Conversation c;
    QSignalSpy removed(&c.list, &QAbstractItemModel::rowsRemoved);
    const QModelIndex parent = childParent ? c.list.index(0, 0) : QModelIndex();
    QCOMPARE(c.list.removeRows(row, count, parent), accepted);
    QCOMPARE(removed.size(), accepted ? 1 : 0);
    QCOMPARE(c.list.count(), accepted ? 3 - count : 3);
    QCOMPARE(c.owner.children().size(), c.list.count());
}

void tst_ChatList::roleNamesAreExactlyTheFive()
{
    const QHash<int, QByteArray> expected { { 257, "userID" }, { 258, "time" }, { 259, "contents" },
        { 261, "sources" }, { 262, "loading" } };
    QCOMPARE(ChatList().roleNames(), expected);
}

QTEST_GUILESS_MAIN(tst_ChatList)
#include "tst_chatlist.moc"
