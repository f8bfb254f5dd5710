#include "hitcontext.h"

#include <QTest>

namespace {

// Text as QtPdf reads UTF-16 with a leading byte-order mark the wrong way round.
QString byteSwapped(const QString &text)
{
    QString swapped = text;
    for (QChar &c : swapped)
        c = QChar(ushort((c.unicode() >> 8) | (c.unicode() << 8)));
    return swapped;
}

} // namespace

class tst_HitContext : public QObject
{
    Q_OBJECT

private slots:
    void mends_data();
    void mends();
};

void tst_HitContext::mends_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("after");
    QTest::addColumn<QString>("searchString");
    QTest::addColumn<int>("indexOnPage");
    QTest::addColumn<QString>("mendedBefore");
    QTest::addColumn<QString>("mendedAfter");

    QTest::newRow("sound split kept") << "See the " << " below.\u23CENext"
                                      << "table" << 0
                                      << "See the " << " below.\u23CENext";
    const QString toc = QStringLiteral("17.6 Special Functions . .");
    QTest::newRow("split by letter case")
        << toc << toc.mid(7) << "function" << 0 << "17.6 Special " << "s . .";
    const QString hyphenated = QStringLiteral("Calling a Func-");
    QTest::newRow("search text nowhere in the context")
        << hyphenated << hyphenated.mid(7) << "function" << 0 << hyphenated << "";
    QTest::newRow("read with the wrong byte order")
        << byteSwapped(QStringLiteral("ables. This procedure\r\ncan be done by a function here"))
        << byteSwapped(QStringLiteral("ables. This procedure\r\ncan be done by a function here"))
               .mid(7)
        << "function" << 0
        << "ables. This procedure\u23CEcan be done by a "
        << " here";
    QTest::newRow("soft-hyphen marks dropped")
        << "the expo\uFFFEnential " << " of x" << "integral" << 0
        << "the exponential " << " of x";
    // Two hits on a short page: QtPdf cut both contexts at the second one. The first hit's
    // context is the whole page; the second has its full 64 characters before it.
    const QString page = QStringLiteral(
        "Gulls watch closely.\u23CEThe harbour master counts the boats.\u23CENets dry on the ");
    QTest::newRow("first of two hits on a short page")
        << page << " wall." << "harbour" << 0 << "Gulls watch closely.\u23CEThe "
        << " master counts the boats.\u23CENets dry on the harbour wall.";
    const QString full = QStringLiteral(
        "closely.\u23CEThe harbour master counts the boats.\u23CENets dry on the ");
    QTest::newRow("second hit with a full context before")
        << full << " wall." << "harbour" << 1 << full << " wall.";
}

void tst_HitContext::mends()
{
    QFETCH(QString, before);
    QFETCH(QString, after);
    QFETCH(QString, searchString);
    QFETCH(int, indexOnPage);
    QFETCH(QString, mendedBefore);
    QFETCH(QString, mendedAfter);
    const HitContext mended = mendHitContext(before, after, searchString, indexOnPage);
    QCOMPARE(mended.before, mendedBefore);
    QCOMPARE(mended.after, mendedAfter);
}

QTEST_APPLESS_MAIN(tst_HitContext)
#include "tst_hitcontext.moc"
