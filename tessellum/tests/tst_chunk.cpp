#include "tessellum/chunk.h"

#include <QSignalSpy>
#include <QTest>
#include <QVariant>

class tst_Chunk : public QObject
{
    Q_OBJECT

private slots:
    void keepsWhatItWasMadeOf_data();
    void keepsWhatItWasMadeOf();
    void emptyValueIsBlank();
    void travelsThroughVariantAndQueuedSignal();
};

void tst_Chunk::keepsWhatItWasMadeOf_data()
{
    QTest::addColumn<QString>("doc");
    QTest::addColumn<int>("page");
    QTest::addColumn<QRectF>("rect");
    QTest::newRow("file url") << "file:///home/a/Annual Report.pdf" << 1 << QRectF(1.5, 2, 3, 4);
    QTest::newRow("non-latin path") << QString::fromUtf8("file:///tmp/Ελληνικά.pdf") << 0
                                    << QRectF(72.25, 100.5, 468, 36.75);
    QTest::newRow("negative page") << "x" << -1 << QRectF();
}

void tst_Chunk::keepsWhatItWasMadeOf()
{
    QFETCH(QString, doc);
    QFETCH(int, page);
    QFETCH(QRectF, rect);
    const Chunk c(doc, page, rect.x(), rect.y(), rect.width(), rect.height());
    const Chunk copy(c);
    Chunk moved(std::move(Chunk(c)));
    for (const Chunk &v : {c, copy, moved}) {
        QCOMPARE(v.doc(), doc);
        QCOMPARE(v.page(), page);
        QCOMPARE(v.rect(), rect);
    }
}

void tst_Chunk::emptyValueIsBlank()
{
    const Chunk c;
    QVERIFY(c.doc().isEmpty());
    QCOMPARE(c.page(), 0);
    QCOMPARE(c.rect(), QRectF());
}

class ChunkSender : public QObject
{
    Q_OBJECT
signals:
    void highlightRef(Chunk chunk);
};

void tst_Chunk::travelsThroughVariantAndQueuedSignal()
{
    QCOMPARE(QMetaType::fromType<Chunk>().name(), "Chunk");
    const QVariant v = QVariant::fromValue(Chunk("d.pdf", 2, 1, 2, 3, 4));
    QCOMPARE(v.value<Chunk>().page(), 2);

    ChunkSender sender;
    Chunk received;
    QObject receiver;
    connect(&sender, &ChunkSender::highlightRef, &receiver,
            [&received](Chunk c) { received = std::move(c); }, Qt::QueuedConnection);
    emit sender.highlightRef(Chunk("q.pdf", 3, 5, 6, 7, 8));
    QTRY_COMPARE(received.doc(), QStringLiteral("q.pdf"));
    QCOMPARE(received.rect(), QRectF(5, 6, 7, 8));
}

QTEST_GUILESS_MAIN(tst_Chunk)
#include "tst_chunk.moc"
