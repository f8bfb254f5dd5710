#include "pdflinkmodel.h"
#include "testpdf.h"

#include <QBuffer>
#include <QFile>
#include <QPdfDocument>
#include <QTemporaryDir>
#include <QTest>

class tst_PdfLinkModel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void listsTheLinksOfOnePage_data();
    void listsTheLinksOfOnePage();
    void followsTheDocument();
    void readsTheFileItsOwnerNames_data();
    void readsTheFileItsOwnerNames();

private:
    static QList<QRectF> rectangles(const PdfLinkModel &model);

    QTemporaryDir dir;
    QString path;
};

void tst_PdfLinkModel::initTestCase()
{
    QVERIFY(dir.isValid());
    TestPdf pdf;
    for (int i = 0; i < 3; ++i)
        pdf.addPage(QSizeF(612, 792));
    pdf.addLink(0, QRectF(72, 100, 150, 14), "https://example.invalid/a");
    pdf.addLink(0, QRectF(300.5, 700.25, 40, 12.5), "https://example.invalid/b");
    pdf.addLink(1, QRectF(0, 0, 612, 20), "https://example.invalid/c");
    path = dir.filePath("links.pdf");
    QVERIFY(pdf.write(path));
}

QList<QRectF> tst_PdfLinkModel::rectangles(const PdfLinkModel &model)
{
    QList<QRectF> out;
    for (int row = 0; row < model.rowCount(); ++row)
        out.append(model.index(row).data(int(PdfLinkModel::Role::Rectangle)).toRectF());
    return out;
}

void tst_PdfLinkModel::listsTheLinksOfOnePage_data()
{
    QTest::addColumn<int>("page");
    QTest::addColumn<QList<QRectF>>("expected");
    QTest::newRow("two links") << 0
                               << QList<QRectF>({ QRectF(72, 100, 150, 14),
                                      QRectF(300.5, 700.25, 40, 12.5) });
    QTest::newRow("one link along the top") << 1 << QList<QRectF>({ QRectF(0, 0, 612, 20) });
    QTest::newRow("no links") << 2 << QList<QRectF>();
    QTest::newRow("page -1") << -1 << QList<QRectF>();
    QTest::newRow("past the last page") << 3 << QList<QRectF>();
}

void tst_PdfLinkModel::listsTheLinksOfOnePage()
{
    QFETCH(int, page);
    QFETCH(QList<QRectF>, expected);
    QPdfDocument doc;
    doc.setProperty("sourceFile", path);
    QCOMPARE(doc.load(path), QPdfDocument::Error::None);
    PdfLinkModel model;
    model.setDocument(&doc);
    model.setPage(page);
    QCOMPARE(model.page(), page);

    const QList<QRectF> found = rectangles(model);
    QCOMPARE(found.size(), expected.size());
    // Poppler rounds link areas to whole points.
    for (int i = 0; i < found.size(); ++i) {
        const QRectF &f = found[i];
        const QRectF &e = expected[i];
        QVERIFY2(qAbs(f.left() - e.left()) <= 1 && qAbs(f.top() - e.top()) <= 1
                && qAbs(f.right() - e.right()) <= 1 && qAbs(f.bottom() - e.bottom()) <= 1,
            qPrintable(
                QString("%1,%2 %3x%4").arg(f.x()).arg(f.y()).arg(f.width()).arg(f.height())));
    }
    QVERIFY(!model.index(0).data(Qt::DisplayRole).isValid());
}

void tst_PdfLinkModel::followsTheDocument()
{
    PdfLinkModel model;
    QCOMPARE(model.rowCount(), 0);

    auto *doc = new QPdfDocument(this);
    doc->setProperty("sourceFile", path);
    model.setDocument(doc);
    QCOMPARE(model.rowCount(), 0); // nothing loaded yet

    QCOMPARE(doc->load(path), QPdfDocument::Error::None);
    QCOMPARE(model.rowCount(), 2);

    doc->close();
    QCOMPARE(model.rowCount(), 0);

    QCOMPARE(doc->load(path), QPdfDocument::Error::None);
    QCOMPARE(model.rowCount(), 2);
    delete doc;
    QCOMPARE(model.document(), nullptr);
    QCOMPARE(model.rowCount(), 0);
}

void tst_PdfLinkModel::readsTheFileItsOwnerNames_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("links");
    QTest::newRow("named before loading") << "before" << 2;
    QTest::newRow("named after loading") << "after" << 2;
    QTest::newRow("read from a device and named") << "device" << 2;
    QTest::newRow("not named") << "unnamed" << 0;
    // Bytes win over a file, which may have changed since it was read.
    QTest::newRow("given as bytes") << "bytes" << 2;
    QTest::newRow("given as bytes, another file named") << "bytes and file" << 2;
}

// QtPdf keeps the name of the file it read to itself: the links come from the bytes or the file
// that the document's owner names, and without either there are none.
void tst_PdfLinkModel::readsTheFileItsOwnerNames()
{
    QFETCH(QString, how);
    QFETCH(int, links);
    QPdfDocument doc;
    QFile file(path);
    QBuffer bytes;
    if (how == "before" || how == "device")
        doc.setProperty("sourceFile", path);
    if (how.startsWith("bytes")) {
        QVERIFY(file.open(QIODevice::ReadOnly));
        bytes.setData(file.readAll());
        QVERIFY(bytes.open(QIODevice::ReadOnly));
        doc.setProperty("sourceData", bytes.data());
        if (how == "bytes and file") {
            TestPdf other;
            other.addPage(QSizeF(612, 792));
            QVERIFY(other.write(dir.filePath("no links.pdf")));
            doc.setProperty("sourceFile", dir.filePath("no links.pdf"));
        }
        doc.load(&bytes);
        QCOMPARE(doc.status(), QPdfDocument::Status::Ready);
    } else if (how == "device") {
        QVERIFY(file.open(QIODevice::ReadOnly));
        doc.load(&file);
        QTRY_COMPARE(doc.status(), QPdfDocument::Status::Ready);
    } else {
        QCOMPARE(doc.load(path), QPdfDocument::Error::None);
    }
    PdfLinkModel model;
    model.setDocument(&doc);
    if (how == "after")
        doc.setProperty("sourceFile", path);
    model.setPage(0);
    QCOMPARE(model.rowCount(), links);
}

QTEST_MAIN(tst_PdfLinkModel)
#include "tst_pdflinkmodel.moc"
