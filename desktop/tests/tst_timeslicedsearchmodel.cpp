#include "timeslicedsearchmodel.h"

#include "testpdf.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPdfDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

// Pages of a page of text each, a known word on every page; ordinary pages take pdfium about a
// millisecond to search.
QString writeManual(const QString &path, int pages, const QString &word)
{
    TestPdf pdf;
    for (int page = 0; page < pages; ++page) {
        pdf.addPage(QSizeF(612, 792));
        for (int line = 0; line < 40; ++line) {
            pdf.addText(page, { 72, 80.0 + line * 16 },
                line % 10 == 3 ? QStringLiteral("Line %1 of page %2 names the %3 once.")
                                     .arg(line)
                                     .arg(page)
                                     .arg(word)
                               : QStringLiteral("Line %1 of page %2 holds ordinary filler text.")
                                     .arg(line)
                                     .arg(page));
        }
    }
    return pdf.write(path) ? path : QString();
}

class Heartbeat : public QObject
{
public:
    int turns = 0;
    void start() { QCoreApplication::postEvent(this, new QEvent(QEvent::User)); }

protected:
    void customEvent(QEvent *) override
    {
        ++turns;
        start();
    }
};

struct Batch
{
    qint64 atMs;
    int turn;
    int first;
    int last;
};

} // namespace

class tst_TimeSlicedSearchModel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void findsWhatTheStockModelFinds_data();
    void findsWhatTheStockModelFinds();
    void searchesInSlicesWithinTheBudget_data();
    void searchesInSlicesWithinTheBudget();
    void contextsAroundTheHit_data();
    void contextsAroundTheHit();
    void newTextRestartsFromTheFirstPage();
    void stopKeepsTheHitsFoundSoFar();

private:
    QTemporaryDir m_dir;
    QString m_manual;
    QPdfDocument m_document;
    static constexpr int manualPages = 300;
};

void tst_TimeSlicedSearchModel::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_manual = writeManual(
        m_dir.filePath(QStringLiteral("manual.pdf")), manualPages, QStringLiteral("lighthouse"));
    QVERIFY(!m_manual.isEmpty());
    QCOMPARE(m_document.load(m_manual), QPdfDocument::Error::None);
}

void tst_TimeSlicedSearchModel::findsWhatTheStockModelFinds_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("hits");
    QTest::newRow("four per page") << "lighthouse" << 4 * manualPages;
    QTest::newRow("letter case ignored") << "LightHouse" << 4 * manualPages;
    QTest::newRow("on one page only") << "page 123 names" << 4;
    QTest::newRow("nowhere") << "seagull" << 0;
}

void tst_TimeSlicedSearchModel::findsWhatTheStockModelFinds()
{
    QFETCH(QString, text);
    QFETCH(int, hits);
    TimeSlicedSearchModel model;
    model.setDocument(&m_document);
    model.setSearchString(text);
    QVERIFY(model.isSearching());
    QTRY_VERIFY_WITH_TIMEOUT(!model.isSearching(), 20000);
    QCOMPARE(model.rowCount({}), hits);

    // Every page once, in order: the rows are those the stock model gives page by page.
    QPdfSearchModel stock;
    stock.setDocument(&m_document);
    stock.setSearchString(text);
    int row = 0;
    for (int page = 0; page < m_document.pageCount(); ++page) {
        for (const QPdfLink &hit : stock.resultsOnPage(page)) {
            const QModelIndex index = model.index(row++);
            QCOMPARE(index.data(int(QPdfSearchModel::Role::Page)).toInt(), page);
            QCOMPARE(index.data(int(QPdfSearchModel::Role::IndexOnPage)),
                stock.data(stock.index(row - 1), int(QPdfSearchModel::Role::IndexOnPage)));
            QCOMPARE(model.resultAtIndex(index.row()).rectangles(), hit.rectangles());
        }
    }
    QCOMPARE(row, hits);
}

void tst_TimeSlicedSearchModel::searchesInSlicesWithinTheBudget_data()
{
    QTest::addColumn<int>("documents");
    QTest::newRow("one document") << 1;
    QTest::newRow("three documents at once") << 3;
}

void tst_TimeSlicedSearchModel::searchesInSlicesWithinTheBudget()
{
    QFETCH(int, documents);
    std::vector<std::unique_ptr<TimeSlicedSearchModel>> models;
    QElapsedTimer clock;
    QList<Batch> batches;
    // An event posted anew each time it is handled comes once per turn of the event loop, after
    // all the timers of the turn before.
    Heartbeat heartbeat;
    for (int i = 0; i < documents; ++i) {
        models.push_back(std::make_unique<TimeSlicedSearchModel>());
        models.back()->setDocument(&m_document);
        connect(models.back().get(), &QAbstractItemModel::rowsInserted,
            [&](const QModelIndex &, int first, int last) {
                batches.append({ clock.elapsed(), heartbeat.turns, first, last });
            });
    }
    heartbeat.start();
    clock.start();
    for (auto &model : models)
        model->setSearchString(QStringLiteral("lighthouse"));
    QTRY_VERIFY_WITH_TIMEOUT(std::none_of(models.cbegin(), models.cend(),
                                 [](const auto &model) { return model->isSearching(); }),
        30000);
    const qint64 total = clock.elapsed();

    QCOMPARE(batches.size(), manualPages * documents);
    // The first page is searched on the next turns of the loop, not a 100 ms timer tick later.
    QVERIFY2(batches.first().turn <= 2,
        qPrintable(QStringLiteral("first hit after %1 turns, %2 ms")
                       .arg(batches.first().turn)
                       .arg(batches.first().atMs)));
    // One page per 100 ms tick would take half a minute.
    QVERIFY2(total < documents * manualPages * 100 / 3, qPrintable(QString::number(total)));

    // Pages of one turn form a slice: several pages each, and no page started late enough in its
    // slice to keep the window from its events for 50 ms. Every page has hits, so every page ends
    // with a batch; a page starts when the one before it has ended.
    QList<int> pagesPerSlice;
    qint64 longestStart = 0;
    for (int i = 0; i < batches.size();) {
        int j = i;
        while (j + 1 < batches.size() && batches.at(j + 1).turn == batches.at(i).turn)
            ++j;
        pagesPerSlice.append(j - i + 1);
        if (j > i)
            longestStart = qMax(longestStart, batches.at(j - 1).atMs - batches.at(i).atMs);
        i = j + 1;
    }
    QVERIFY2(pagesPerSlice.size() > 1, "the whole search ran in one go");
    std::sort(pagesPerSlice.begin(), pagesPerSlice.end());
    QVERIFY2(pagesPerSlice.at(pagesPerSlice.size() / 2) >= 2,
        qPrintable(QStringLiteral("median of %1 pages per slice")
                       .arg(pagesPerSlice.at(pagesPerSlice.size() / 2))));
    QVERIFY2(longestStart <= 25,
        qPrintable(QStringLiteral("a page started %1 ms into its slice").arg(longestStart)));
}

void tst_TimeSlicedSearchModel::contextsAroundTheHit_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("beforeEnd");
    QTest::addColumn<QString>("afterStart");
    // Two lines between filler: the contexts reach over line breaks, into the filler.
    QTest::newRow("same letter case") << "harbour" << 0 << "more filler.\u23CEBoats rest in the "
                                      << " at night.\u23CEThe Harbour master counts.\u23CEMore fil";
    QTest::newRow("other letter case")
        << "harbour" << 1 << "more filler.\u23CEBoats rest in the harbour at night.\u23CEThe "
        << " master counts.\u23CEMore filler follows";
    QTest::newRow("typed in capitals")
        << "HARBOUR" << 0 << "more filler.\u23CEBoats rest in the "
        << " at night.\u23CEThe Harbour master counts.\u23CEMore fil";
}

void tst_TimeSlicedSearchModel::contextsAroundTheHit()
{
    QFETCH(QString, text);
    QFETCH(int, row);
    QFETCH(QString, beforeEnd);
    QFETCH(QString, afterStart);
    TestPdf pdf;
    pdf.addPage(QSizeF(612, 792));
    pdf.addText(0, { 72, 72 }, QStringLiteral("Filler comes first on this page, and more filler."));
    pdf.addText(0, { 72, 100 }, QStringLiteral("Boats rest in the harbour at night."));
    pdf.addText(0, { 72, 114 }, QStringLiteral("The Harbour master counts."));
    pdf.addText(0, { 72, 142 }, QStringLiteral("More filler follows here, and more filler again."));
    const QString path = m_dir.filePath(QStringLiteral("contexts.pdf"));
    QVERIFY(pdf.write(path));
    QPdfDocument document;
    QCOMPARE(document.load(path), QPdfDocument::Error::None);
    TimeSlicedSearchModel model;
    model.setDocument(&document);
    model.setSearchString(text);
    QTRY_VERIFY(!model.isSearching());
    QCOMPARE(model.rowCount({}), 2);
    const QModelIndex hit = model.index(row);
    const QString before = hit.data(int(QPdfSearchModel::Role::ContextBefore)).toString();
    const QString after = hit.data(int(QPdfSearchModel::Role::ContextAfter)).toString();
    QVERIFY2(before.endsWith(beforeEnd), qPrintable(before));
    QVERIFY2(after.startsWith(afterStart), qPrintable(after));
}

void tst_TimeSlicedSearchModel::newTextRestartsFromTheFirstPage()
{
    TimeSlicedSearchModel model;
    model.setDocument(&m_document);
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    model.setSearchString(QStringLiteral("filler"));
    QVERIFY(inserted.wait(5000));
    QVERIFY(model.isSearching());

    model.setSearchString(QStringLiteral("lighthouse"));
    QCOMPARE(model.rowCount({}), 0);
    inserted.clear();
    QTRY_VERIFY_WITH_TIMEOUT(!model.isSearching(), 20000);
    QCOMPARE(model.rowCount({}), 4 * manualPages);
    QCOMPARE(inserted.first().at(1).toInt(), 0);
    QCOMPARE(model.index(0).data(int(QPdfSearchModel::Role::Page)).toInt(), 0);

    // An empty text searches nothing.
    model.setSearchString(QString());
    QVERIFY(!model.isSearching());
    QCOMPARE(model.rowCount({}), 0);
}

void tst_TimeSlicedSearchModel::stopKeepsTheHitsFoundSoFar()
{
    TimeSlicedSearchModel model;
    model.setDocument(&m_document);
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    model.setSearchString(QStringLiteral("lighthouse"));
    QVERIFY(inserted.wait(5000));
    QVERIFY(model.isSearching());
    model.stopSearching();
    const int found = model.rowCount({});
    QVERIFY(found > 0 && found < 4 * manualPages);
    // Slices go on for another search of the same document to its end; none adds to this one.
    TimeSlicedSearchModel other;
    other.setDocument(&m_document);
    other.setSearchString(QStringLiteral("lighthouse"));
    QTRY_VERIFY_WITH_TIMEOUT(!other.isSearching(), 20000);
    QCOMPARE(other.rowCount({}), 4 * manualPages);
    QCOMPARE(model.rowCount({}), found);
    QVERIFY(!model.isSearching());
}

QTEST_MAIN(tst_TimeSlicedSearchModel)
#include "tst_timeslicedsearchmodel.moc"
