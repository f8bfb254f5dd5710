#include "jsonstreamsplitter.h"

#include <QRandomGenerator>
#include <QTest>

using Segments = QList<QByteArray>;

class tst_JsonStreamSplitter : public QObject
{
    Q_OBJECT

private slots:
    void splitsReads_data();
    void splitsReads();
    void everyCutOfTheStreamGivesTheSameMessages();
    void noiseSwallowsNoMessageWhateverTheReads();
    void resumesAfterADroppedValue_data();
    void resumesAfterADroppedValue();
};

void tst_JsonStreamSplitter::splitsReads_data()
{
    QTest::addColumn<QList<QByteArray>>("reads");
    QTest::addColumn<Segments>("expected");

    QTest::newRow("one message") << QList<QByteArray>{R"({"type":"ACK"})"}
                                 << Segments{R"({"type":"ACK"})"};
    QTest::newRow("two in one read")
        << QList<QByteArray>{R"({"type":"ACK"}{"index":3,"type":"DELACK"})"}
        << Segments{R"({"type":"ACK"})", R"({"index":3,"type":"DELACK"})"};
    QTest::newRow("split across reads")
        << QList<QByteArray>{R"({"type":"qu)", R"(ery","query":"x"})"}
        << Segments{R"({"type":"query","query":"x"})"};
    QTest::newRow("brace inside string")
        << QList<QByteArray>{R"({"answer":"a } b { c"})", R"({"answer":"}"})"}
        << Segments{R"({"answer":"a } b { c"})", R"({"answer":"}"})"};
    QTest::newRow("escaped quote then brace")
        << QList<QByteArray>{R"({"a":"x\"}"})", R"({"b":"\\"})"}
        << Segments{R"({"a":"x\"}"})", R"({"b":"\\"})"};
    QTest::newRow("escape cut between reads")
        << QList<QByteArray>{R"({"a":"x\)", R"("}"})"} << Segments{R"({"a":"x\"}"})"};
    QTest::newRow("nested objects")
        << QList<QByteArray>{R"({"chunks":[{"bbox":{"x":1}},{"b":[]}]})"}
        << Segments{R"({"chunks":[{"bbox":{"x":1}},{"b":[]}]})"};
    QTest::newRow("garbage then message")
        << QList<QByteArray>{"xyz" R"({"type":"ACK"})"}
        << Segments{"xyz", R"({"type":"ACK"})"};
    QTest::newRow("top-level string holding a brace")
        << QList<QByteArray>{R"("{")" R"({"type":"ACK"})"}
        << Segments{R"("{")", R"({"type":"ACK"})"};
    QTest::newRow("top-level string holding braces both ways")
        << QList<QByteArray>{R"("a}b{c")", R"({"type":"ACK"})"}
        << Segments{R"("a}b{c")", R"({"type":"ACK"})"};
    QTest::newRow("top-level string with an escaped quote")
        << QList<QByteArray>{R"("x\"[" {"type":"ACK"})"}
        << Segments{R"("x\"[")", R"({"type":"ACK"})"};
    QTest::newRow("a quote left open swallows no later read")
        << QList<QByteArray>{R"(oops " {)", R"({"type":"ACK"})"}
        << Segments{R"(oops" {)", R"({"type":"ACK"})"};
    QTest::newRow("a quote left open ends at a control character")
        << QList<QByteArray>{"oops \"\n" R"({"type":"ACK"})"}
        << Segments{"oops\"\n", R"({"type":"ACK"})"};
    QTest::newRow("whitespace between messages is skipped")
        << QList<QByteArray>{"{}\n  {}\r\n"} << Segments{"{}", "{}"};
    QTest::newRow("top-level array stays whole")
        << QList<QByteArray>{R"([{"type":"query"}])"} << Segments{R"([{"type":"query"}])"};
    QTest::newRow("utf-8 in strings")
        << QList<QByteArray>{QByteArray("{\"t\":\"\xce\xb1"), QByteArray("\xce\xb2}\"}")}
        << Segments{QByteArray("{\"t\":\"\xce\xb1\xce\xb2}\"}")};
    QTest::newRow("incomplete tail waits")
        << QList<QByteArray>{R"({"type":"ACK"}{"type")"} << Segments{R"({"type":"ACK"})"};
}

void tst_JsonStreamSplitter::splitsReads()
{
    QFETCH(QList<QByteArray>, reads);
    QFETCH(Segments, expected);
    JsonStreamSplitter splitter;
    Segments got;
    for (const QByteArray &r : reads)
        got += splitter.feed(r);
    QCOMPARE(got, expected);
}

void tst_JsonStreamSplitter::everyCutOfTheStreamGivesTheSameMessages()
{
    const QByteArray stream =
        R"({"answer":"He said \"{hi}\"","type":"ANSPART"}{"sources":[{"metadata":{"doc":"d"}}],)"
        R"("type":"ANSREFS"}{"type":"READYACK"})";
    const Segments expected = JsonStreamSplitter().feed(stream);
    QCOMPARE(expected.size(), 3);
    for (int cut1 = 0; cut1 <= stream.size(); ++cut1) {
        for (int cut2 = cut1; cut2 <= stream.size(); cut2 += 7) {
            JsonStreamSplitter splitter;
            Segments got = splitter.feed(stream.left(cut1));
            got += splitter.feed(stream.mid(cut1, cut2 - cut1));
            got += splitter.feed(stream.mid(cut2));
            QCOMPARE(got, expected);
            QCOMPARE(splitter.pendingSize(), 0);
        }
    }
}

void tst_JsonStreamSplitter::noiseSwallowsNoMessageWhateverTheReads()
{
    // Random bytes with quotes but no brace: a message after them is a message, whether it comes
    // in the noise's read or in one of its own.
    QRandomGenerator random(7);
    QByteArray noise(65536, '\0');
    for (char &byte : noise) {
        do
            byte = char(random.bounded(256));
        while (byte == '{' || byte == '[');
    }
    const QByteArray message = R"({"type":"delete","doc":"none","index":424242})";
    // The socket may cut the noise anywhere and join its end to the message.
    for (qsizetype cut = 0; cut <= noise.size(); cut += cut < noise.size() - 4096 ? 997 : 1) {
        JsonStreamSplitter splitter;
        Segments got = splitter.feed(noise.left(cut));
        got += splitter.feed(noise.mid(cut) + message);
        QVERIFY2(!got.isEmpty() && got.last() == message, qPrintable(QString::number(cut)));
    }
    JsonStreamSplitter apart;
    Segments twoReads = apart.feed(noise);
    twoReads += apart.feed(message);
    QCOMPARE(twoReads.last(), message);
}

void tst_JsonStreamSplitter::resumesAfterADroppedValue_data()
{
    QTest::addColumn<QList<QByteArray>>("reads");
    QTest::addColumn<Segments>("expected");

    // The limit is 16 bytes: the first read of each row already overflows it.
    QTest::newRow("end of the string and a message in one read")
        << QList<QByteArray>{R"({"text":"0123456789abcdef)", R"(ghij"}{"type":"ACK"})"}
        << Segments{R"({"type":"ACK"})"};
    QTest::newRow("braces and quotes inside the dropped string")
        << QList<QByteArray>{R"({"text":"0123456789abcdef)", R"(} {"type":"ACK"} {)",
               R"("}  {"type":"ACK"})"}
        << Segments{R"({"type":"ACK"})"};
    QTest::newRow("nested value ends over several reads")
        << QList<QByteArray>{R"({"a":[{"b":"0123456789abcdef"},)", R"({"c":1})", R"(]})",
               R"( {"index":1,"type":"DELACK"})"}
        << Segments{R"({"index":1,"type":"DELACK"})"};
}

void tst_JsonStreamSplitter::resumesAfterADroppedValue()
{
    QFETCH(QList<QByteArray>, reads);
    QFETCH(Segments, expected);

    JsonStreamSplitter splitter(16);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Dropping an incomplete message"));
    Segments got = splitter.feed(reads.first());
    QVERIFY(got.isEmpty());
    QCOMPARE(splitter.pendingSize(), 0);
    for (qsizetype i = 1; i < reads.size(); ++i)
        got += splitter.feed(reads[i]);
    QCOMPARE(got, expected);
    QCOMPARE(splitter.pendingSize(), 0);
}

QTEST_GUILESS_MAIN(tst_JsonStreamSplitter)
#include "tst_jsonstreamsplitter.moc"
