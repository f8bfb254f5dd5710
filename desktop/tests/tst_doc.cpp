#include "doc.h"
#include "testenvironment.h"

#include <folioscope/folioscope.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QPdfDocument>
#include <QPdfSearchModel>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace TestEnvironment;

class tst_Doc : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void nameAndKind_data();
    void nameAndKind();
    void loads_data();
    void loads();
    void onlyRegularPdfFilesAreRead_data();
    void onlyRegularPdfFilesAreRead();
    void searchEndsWithItsDoc();
    void changedFileLeavesTheDocumentAsRead_data();
    void changedFileLeavesTheDocumentAsRead();

private:
    QTemporaryDir m_root;
    QString m_pdf;
};

void tst_Doc::initTestCase()
{
    QVERIFY(m_root.isValid());
    isolate(m_root);
    m_pdf = m_root.filePath(QStringLiteral("three pages.pdf"));
    writePdf(m_pdf,
        { { QStringLiteral("Copper kettles boil water on the first page.") },
            { QStringLiteral("Copper pipes carry water on the second page.") },
            { QStringLiteral("Copper wires carry current on the third page.") } });
}

void tst_Doc::nameAndKind_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("localPdf");
    QTest::newRow("local pdf") << "file:///tmp/a/Report.pdf"
                               << "Report.pdf" << true;
    QTest::newRow("upper-case suffix") << "file:///tmp/SCAN.PDF"
                                       << "SCAN.PDF" << true;
    QTest::newRow("escaped space") << "file:///tmp/my%20notes.pdf"
                                   << "my notes.pdf" << true;
    QTest::newRow("text file") << "file:///tmp/notes.txt"
                               << "notes.txt" << false;
    QTest::newRow("remote pdf") << "https://example.org/x.pdf"
                                << "https://example.org/x.pdf" << false;
    QTest::newRow("bare path") << "/tmp/plain.pdf"
                               << "/tmp/plain.pdf" << false;
}

void tst_Doc::nameAndKind()
{
    QFETCH(QString, path);
    QFETCH(QString, name);
    QFETCH(bool, localPdf);
    QObject list;
    QTest::ignoreMessage(QtDebugMsg, "Doc could not be loaded");
    Doc doc(path, &list);
    QCOMPARE(doc.path(), path);
    QCOMPARE(doc.name(), name);
    QCOMPARE(doc.isLocalPdf(), localPdf);
    QCOMPARE(doc.stat(), Doc::NEW);
    QCOMPARE(doc.pageCount(), 0);
}

void tst_Doc::loads_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("pages");
    QTest::newRow("made here") << m_pdf << 3;
    QTest::newRow("debian manual") << "/usr/share/doc/libtasn1-doc/libtasn1.pdf" << 36;
}

void tst_Doc::loads()
{
    QFETCH(QString, file);
    QFETCH(int, pages);
    if (!QFile::exists(file))
        QSKIP("libtasn1-doc is not installed");
    QObject list;
    Doc doc(fileUrl(file), &list);
    QCOMPARE(doc.pageCount(), pages);
    QVERIFY(doc.isLocalPdf());
    // The loaded document and its search go with the Doc.
    QCOMPARE(doc.pdfDocument()->parent(), &doc);
    QCOMPARE(doc.pdfSearchModel()->parent(), &doc);
    QCOMPARE(doc.pdfSearchModel()->document(), doc.pdfDocument());
}

void tst_Doc::onlyRegularPdfFilesAreRead_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("read");
    QTest::newRow("PDF") << "copy.pdf" << "file" << true;
    QTest::newRow("PDF, upper-case suffix") << "COPY.PDF" << "file" << true;
    QTest::newRow("video that starts like a PDF") << "film.mp4" << "file" << false;
    QTest::newRow("PDF bytes under another name") << "copy.pdf.txt" << "file" << false;
    QTest::newRow("folder named as a PDF") << "folder.pdf" << "folder" << false;
    QTest::newRow("pipe named as a PDF") << "pipe.pdf" << "fifo" << false;
}

void tst_Doc::onlyRegularPdfFilesAreRead()
{
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(bool, read);
    const QString path = m_root.filePath(QStringLiteral("kinds/") + name);
    QVERIFY(QDir().mkpath(m_root.filePath(QStringLiteral("kinds"))));
    if (kind == QLatin1String("file"))
        QVERIFY(QFile::copy(m_pdf, path));
    else if (kind == QLatin1String("folder"))
        QVERIFY(QDir().mkpath(path));
    else
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);

    QObject list;
    Doc doc(fileUrl(path), &list);
    QCOMPARE(doc.contents().isEmpty(), !read);
    QCOMPARE(doc.pageCount(), read ? 3 : 0);
    if (kind == QLatin1String("folder"))
        QDir(path).removeRecursively();
    else
        QFile::remove(path);
}

void tst_Doc::searchEndsWithItsDoc()
{
    QObject list;
    auto *doc = new Doc(fileUrl(m_pdf), &list);
    QPdfSearchModel *search = doc->pdfSearchModel();
    QSignalSpy reported(doc, &Doc::pdfSearchResultsAdded);
    search->setSearchString(QStringLiteral("copper"));
    QVERIFY(reported.wait(5000));
    QCOMPARE(reported.first().at(0).value<Doc *>(), doc);

    // No search goes on over a document that is gone.
    const QPointer<QPdfSearchModel> running(search);
    const QPointer<QPdfDocument> document(doc->pdfDocument());
    delete doc;
    QVERIFY(!running && !document);
}

void tst_Doc::changedFileLeavesTheDocumentAsRead_data()
{
    QTest::addColumn<QString>("change");
    QTest::newRow("truncated in place to zeros") << "truncate";
    QTest::newRow("overwritten in place by another PDF") << "overwrite";
    QTest::newRow("deleted") << "delete";
}

void tst_Doc::changedFileLeavesTheDocumentAsRead()
{
    QFETCH(QString, change);
    const QString path = m_root.filePath(QStringLiteral("changing %1.pdf").arg(change));
    writePdf(path,
        { { QStringLiteral("Copper kettles boil water on the first page.") },
            { QStringLiteral("Copper pipes carry water on the second page.") } });
    QFile original(path);
    QVERIFY(original.open(QIODevice::ReadOnly));
    const QByteArray bytes = original.readAll();
    original.close();
    const QString other = m_root.filePath(QStringLiteral("other %1.pdf").arg(change));
    writePdf(other, { { QStringLiteral("Tin roofs rattle in the rain.") } });

    QObject list;
    Doc doc(fileUrl(path), &list);
    QCOMPARE(doc.pageCount(), 2);

    // In place, as `cp other.pdf listed.pdf` or a program that rewrites its output does it.
    QFile file(path);
    if (change == QLatin1String("truncate")) {
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.resize(0));
        QCOMPARE(file.write(QByteArray(1000, '\0')), 1000);
        file.close();
    } else if (change == QLatin1String("overwrite")) {
        QFile replacement(other);
        QVERIFY(replacement.open(QIODevice::ReadOnly));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QVERIFY(file.write(replacement.readAll()) > 0);
        file.close();
    } else {
        QVERIFY(file.remove());
    }

    // The document, its pages, its search and what the viewer reads stay those of the file as
    // it was read.
    QCOMPARE(doc.pageCount(), 2);
    QCOMPARE(doc.contents(), bytes);
    QCOMPARE(doc.pdfDocument()->property(Folioscope::SourceDataProperty).toByteArray(), bytes);
    const QImage page = doc.pdfDocument()->render(1, QSize(306, 396));
    QVERIFY(!page.isNull());
    QVERIFY(doc.pdfDocument()->getAllText(1).text().contains(QLatin1String("Copper pipes")));
    QPdfSearchModel *search = doc.pdfSearchModel();
    search->setSearchString(QStringLiteral("copper"));
    QTRY_COMPARE_WITH_TIMEOUT(search->rowCount(QModelIndex()), 2, 10000);
}

QTEST_MAIN(tst_Doc)
#include "tst_doc.moc"
