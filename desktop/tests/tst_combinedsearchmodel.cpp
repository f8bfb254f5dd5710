#include "combinedsearchmodel.h"
#include "doc.h"
#include "doclist.h"
#include "timeslicedsearchmodel.h"

#include "testpdf.h"

#include <QPdfDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <memory>

namespace {

// Lines of text per page, each line well apart from the next.
QString writePdf(const QString &path, const QList<QStringList> &pages)
{
    TestPdf pdf;
    for (int page = 0; page < pages.size(); ++page) {
        pdf.addPage(QSizeF(612, 792));
        for (int line = 0; line < pages.at(page).size(); ++line)
            pdf.addText(page, { 72, 100.0 + line * 40 }, pages.at(page).at(line));
    }
    return pdf.write(path) ? QUrl::fromLocalFile(path).toString() : QString();
}

int role(CombinedSearchModel::Roles r)
{
    return int(r);
}

} // namespace

// The tree of hits over the real search models of real documents, fed as the document list feeds
// it: the new text goes to every document's search model, then to the tree.
class tst_CombinedSearchModel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void emptyBeforeAnySearch();
    void batchesOfOneDocumentFormOneFileItem();
    void batchesOnlyInsertRows();
    void hitsCarryPageAndContext();
    void expandedRows_data();
    void expandedRows();
    void clickEmitsTheItemsModelNameAndRow_data();
    void clickEmitsTheItemsModelNameAndRow();
    void parentsAndRoles();
    void removingTheMiddleFileItem();
    void removingAllFileItems();
    void newTextResetsTheTree();
    void removalStopsARunningSearch_data();
    void removalStopsARunningSearch();
    void documentOutsideItsListAddsNoHits();
    void pathThatIsNoLocalFileIsItsOwnName();

private:
    Doc *addDoc(const QString &url);
    void search(const QString &text);
    bool searchDone() const;

    QTemporaryDir m_dir;
    QString m_first; // three hits: one on page 0, two on page 1
    QString m_second; // one hit among markup characters
    QString m_third; // two hits
    QString m_long; // a hit on every one of many pages
    QString m_late; // more pages, one hit on the last
    std::unique_ptr<QObject> m_list;
    std::unique_ptr<CombinedSearchModel> m_model;
    QList<Doc *> m_docs;
};

void tst_CombinedSearchModel::initTestCase()
{
    QVERIFY(m_dir.isValid());
    qRegisterMetaType<QPdfSearchModel *>();
    m_first = writePdf(m_dir.filePath(QStringLiteral("first.pdf")),
        { { QStringLiteral("The harbour wall keeps the sea out.") },
            { QStringLiteral("Boats rest in the harbour at night."),
                QStringLiteral("The harbour master counts them.") } });
    m_second = writePdf(m_dir.filePath(QStringLiteral("second.pdf")),
        { { QStringLiteral("If a < b & c then the harbour <b>fills</b>.") } });
    m_third = writePdf(m_dir.filePath(QStringLiteral("third.pdf")),
        { { QStringLiteral("A harbour here."), QStringLiteral("Another harbour there.") } });
    QList<QStringList> pages;
    for (int page = 0; page < 400; ++page)
        pages.append({ QStringLiteral("Page %1 has a harbour too.").arg(page) });
    m_long = writePdf(m_dir.filePath(QStringLiteral("long.pdf")), pages);
    QList<QStringList> latePages;
    for (int page = 0; page < 1200; ++page)
        latePages.append({ QStringLiteral("Page %1 of a long road.").arg(page) });
    latePages.append({ QStringLiteral("At last the harbour.") });
    m_late = writePdf(m_dir.filePath(QStringLiteral("late.pdf")), latePages);
    QVERIFY(!m_first.isEmpty() && !m_second.isEmpty() && !m_third.isEmpty());
    QVERIFY(!m_long.isEmpty() && !m_late.isEmpty());
}

void tst_CombinedSearchModel::init()
{
    m_list = std::make_unique<QObject>();
    m_model = std::make_unique<CombinedSearchModel>();
    m_docs.clear();
}

void tst_CombinedSearchModel::cleanup()
{
    m_model.reset();
    m_list.reset();
}

Doc *tst_CombinedSearchModel::addDoc(const QString &url)
{
    auto *doc = new Doc(url, m_list.get());
    connect(doc, &Doc::pdfSearchResultsAdded, m_model.get(),
        &CombinedSearchModel::onPdfSearchResultsAdded);
    m_docs.append(doc);
    return doc;
}

void tst_CombinedSearchModel::search(const QString &text)
{
    for (Doc *doc : std::as_const(m_docs))
        doc->pdfSearchModel()->setSearchString(text);
    m_model->onSearchStringChanged(text);
}

bool tst_CombinedSearchModel::searchDone() const
{
    for (Doc *doc : m_docs) {
        if (qobject_cast<TimeSlicedSearchModel *>(doc->pdfSearchModel())->isSearching())
            return false;
    }
    return true;
}

void tst_CombinedSearchModel::emptyBeforeAnySearch()
{
    QCOMPARE(m_model->rowCount(), 0);
    QCOMPARE(m_model->columnCount(), 1);
    QVERIFY(m_model->itemIsTopLevel(0));
    QSignalSpy clicked(m_model.get(), &CombinedSearchModel::searchItemClicked);
    m_model->itemClicked(0);
    m_model->itemClicked(-1);
    QCOMPARE(clicked.size(), 0);
    QCOMPARE(m_model->roleNames().size(), 7);
    QCOMPARE(m_model->roleNames().value(257), QByteArray("filePath"));
    QCOMPARE(m_model->roleNames().value(263), QByteArray("isResult"));
}

void tst_CombinedSearchModel::batchesOfOneDocumentFormOneFileItem()
{
    Doc *doc = addDoc(m_first);
    QSignalSpy inserted(m_model.get(), &QAbstractItemModel::rowsInserted);
    search(QStringLiteral("harbour"));
    QTRY_VERIFY(searchDone());

    QCOMPARE(m_model->rowCount(), 1);
    const QModelIndex file = m_model->index(0, 0);
    QCOMPARE(m_model->rowCount(file), 3);
    // The file item, then one insertion per page batch, each starting at the current count.
    QCOMPARE(inserted.size(), 3);
    QCOMPARE(inserted.at(0).at(0).toModelIndex(), QModelIndex());
    QCOMPARE(inserted.at(1).at(0).toModelIndex(), file);
    QCOMPARE(inserted.at(1).at(1).toInt(), 0);
    QCOMPARE(inserted.at(1).at(2).toInt(), 0);
    QCOMPARE(inserted.at(2).at(1).toInt(), 1);
    QCOMPARE(inserted.at(2).at(2).toInt(), 2);
    QCOMPARE(file.data(role(CombinedSearchModel::FilePathRole)).toString(), doc->path());
    QCOMPARE(file.data(Qt::DisplayRole).toString(), doc->path());
    QCOMPARE(
        file.data(role(CombinedSearchModel::FileNameRole)).toString(), QStringLiteral("first.pdf"));
    const QList<int> pages { 0, 1, 1 };
    for (int row = 0; row < 3; ++row) {
        const QModelIndex hit = m_model->index(row, 0, file);
        QCOMPARE(hit.data(role(CombinedSearchModel::PageNumberRole)).toInt(), pages.at(row));
        QCOMPARE(hit.data(role(CombinedSearchModel::SearchStringRole)).toString(),
            QStringLiteral("harbour"));
    }
}

void tst_CombinedSearchModel::batchesOnlyInsertRows()
{
    // Every batch is an insertion and nothing more: a change of layout, data or the whole model
    // makes a tree view go over every row it has, batch after batch.
    addDoc(m_long);
    addDoc(m_first);
    addDoc(m_third);
    QSignalSpy inserted(m_model.get(), &QAbstractItemModel::rowsInserted);
    QSignalSpy aboutToChangeLayout(m_model.get(), &QAbstractItemModel::layoutAboutToBeChanged);
    QSignalSpy layoutChanged(m_model.get(), &QAbstractItemModel::layoutChanged);
    QSignalSpy dataChanged(m_model.get(), &QAbstractItemModel::dataChanged);
    search(QStringLiteral("harbour"));
    QSignalSpy reset(m_model.get(), &QAbstractItemModel::modelReset);
    QTRY_VERIFY_WITH_TIMEOUT(searchDone(), 30000);
    QCOMPARE(m_model->rowCount(), 3);
    // Three file items, 400 pages with a hit each, two pages of first.pdf, one of third.pdf.
    QCOMPARE(inserted.size(), 3 + 400 + 2 + 1);
    QCOMPARE(aboutToChangeLayout.size(), 0);
    QCOMPARE(layoutChanged.size(), 0);
    QCOMPARE(dataChanged.size(), 0);
    QCOMPARE(reset.size(), 0);
}

void tst_CombinedSearchModel::hitsCarryPageAndContext()
{
    addDoc(m_second);
    search(QStringLiteral("harbour"));
    QTRY_VERIFY(searchDone());
    const QModelIndex hit = m_model->index(0, 0, m_model->index(0, 0));
    QVERIFY(hit.isValid());
    QCOMPARE(hit.data(role(CombinedSearchModel::PageNumberRole)), QVariant(0));
    // The text around the hit as the document has it, markup characters and all.
    QVERIFY2(hit.data(role(CombinedSearchModel::ContextBeforeRole))
                 .toString()
                 .endsWith(QStringLiteral("If a < b & c then the ")),
        qPrintable(hit.data(role(CombinedSearchModel::ContextBeforeRole)).toString()));
    QVERIFY(hit.data(role(CombinedSearchModel::ContextAfterRole))
                .toString()
                .startsWith(QStringLiteral(" <b>fills</b>.")));
    // A file item has none of a hit's values.
    const QModelIndex file = m_model->index(0, 0);
    QCOMPARE(file.data(role(CombinedSearchModel::PageNumberRole)), QVariant(-1));
    QCOMPARE(file.data(role(CombinedSearchModel::ContextBeforeRole)), QVariant(QString()));
    QCOMPARE(hit.data(role(CombinedSearchModel::FileNameRole)), QVariant(QString()));
    QCOMPARE(hit.data(Qt::DisplayRole), QVariant(QString()));
    QVERIFY(!hit.data(Qt::ToolTipRole).isValid());
    QVERIFY(!QModelIndex().data(role(CombinedSearchModel::FilePathRole)).isValid());
}

void tst_CombinedSearchModel::expandedRows_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<bool>("topLevel");
    // first.pdf: rows 0 (file) and 1-3 (hits); second.pdf: 4 and 5; third.pdf: 6, 7 and 8.
    QTest::newRow("first file") << 0 << true;
    QTest::newRow("second hit of the first file") << 2 << false;
    QTest::newRow("last hit of the first file") << 3 << false;
    QTest::newRow("second file") << 4 << true;
    QTest::newRow("first hit of the second file") << 5 << false;
    QTest::newRow("third file") << 6 << true;
    QTest::newRow("last hit") << 8 << false;
    QTest::newRow("past the end") << 9 << true;
    QTest::newRow("negative") << -1 << true;
}

void tst_CombinedSearchModel::expandedRows()
{
    QFETCH(int, row);
    QFETCH(bool, topLevel);
    addDoc(m_first);
    addDoc(m_second);
    addDoc(m_third);
    search(QStringLiteral("harbour"));
    QTRY_VERIFY(searchDone());
    QCOMPARE(m_model->rowCount(), 3);
    QCOMPARE(m_model->property("RootItems").toInt(), 3);
    QCOMPARE(m_model->itemIsTopLevel(row), topLevel);
}

void tst_CombinedSearchModel::clickEmitsTheItemsModelNameAndRow_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("doc");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<int>("searchIndex");
    QTest::newRow("first hit") << 1 << 0 << "first.pdf" << 0;
    QTest::newRow("hit of the second batch") << 3 << 0 << "first.pdf" << 2;
    QTest::newRow("hit of the second file") << 5 << 1 << "second.pdf" << 0;
    QTest::newRow("last hit") << 8 << 2 << "third.pdf" << 1;
    QTest::newRow("file row") << 4 << 1 << "second.pdf" << -1;
}

void tst_CombinedSearchModel::clickEmitsTheItemsModelNameAndRow()
{
    QFETCH(int, row);
    QFETCH(int, doc);
    QFETCH(QString, fileName);
    QFETCH(int, searchIndex);
    addDoc(m_first);
    addDoc(m_second);
    addDoc(m_third);
    search(QStringLiteral("harbour"));
    QTRY_VERIFY(searchDone());

    QSignalSpy clicked(m_model.get(), &CombinedSearchModel::searchItemClicked);
    m_model->itemClicked(row);
    QCOMPARE(clicked.size(), 1);
    QCOMPARE(clicked.first().at(0).value<QPdfSearchModel *>(), m_docs.at(doc)->pdfSearchModel());
    QCOMPARE(clicked.first().at(1).toString(), fileName);
    QCOMPARE(clicked.first().at(2).toInt(), searchIndex);
    m_model->itemClicked(9);
    QCOMPARE(clicked.size(), 1);
}

void tst_CombinedSearchModel::parentsAndRoles()
{
    addDoc(m_first);
    addDoc(m_third);
    search(QStringLiteral("harbour"));
    QTRY_VERIFY(searchDone());
    for (int fileRow = 0; fileRow < m_model->rowCount(); ++fileRow) {
        const QModelIndex file = m_model->index(fileRow, 0);
        QVERIFY(!m_model->parent(file).isValid());
        QCOMPARE(file.data(role(CombinedSearchModel::IsResultRole)), QVariant(false));
        for (int row = 0; row < m_model->rowCount(file); ++row) {
            const QModelIndex hit = m_model->index(row, 0, file);
            QCOMPARE(m_model->parent(hit), m_model->index(fileRow, 0));
            QCOMPARE(m_model->parent(hit).row(), fileRow);
            QCOMPARE(hit.data(role(CombinedSearchModel::IsResultRole)), QVariant(true));
            QCOMPARE(m_model->rowCount(hit), 0);
        }
        QVERIFY(!m_model->index(m_model->rowCount(file), 0, file).isValid());
    }
    QVERIFY(!m_model->index(0, 1).isValid());
    QVERIFY(!m_model->index(2, 0).isValid());
}

void tst_CombinedSearchModel::removingTheMiddleFileItem()
{
    addDoc(m_first);
    Doc *middle = addDoc(m_second);
    Doc *third = addDoc(m_third);
    search(QStringLiteral("harbour"));
    QTRY_VERIFY(searchDone());
    QSignalSpy removed(m_model.get(), &QAbstractItemModel::rowsRemoved);
    m_model->onDocDeleted(QStringLiteral("file:///nowhere/second.pdf"));
    QCOMPARE(removed.size(), 0);

    m_model->onDocDeleted(middle->path());
    QCOMPARE(removed.size(), 1);
    QCOMPARE(removed.first().at(0).toModelIndex(), QModelIndex());
    QCOMPARE(removed.first().at(1).toInt(), 1);
    QCOMPARE(removed.first().at(2).toInt(), 1);
    QCOMPARE(m_model->rowCount(), 2);
    QCOMPARE(m_model->index(1, 0).data(role(CombinedSearchModel::FilePathRole)).toString(),
        third->path());
    // Expanded rows close up: the third file follows the first file's three hits.
    QVERIFY(m_model->itemIsTopLevel(4));
    QVERIFY(!m_model->itemIsTopLevel(5));
}

void tst_CombinedSearchModel::removingAllFileItems()
{
    addDoc(m_first);
    addDoc(m_third);
    search(QStringLiteral("harbour"));
    QTRY_VERIFY(searchDone());
    QSignalSpy removed(m_model.get(), &QAbstractItemModel::rowsRemoved);
    QSignalSpy reset(m_model.get(), &QAbstractItemModel::modelReset);
    m_model->onDocsDeleted();
    QCOMPARE(removed.size(), 1);
    QCOMPARE(removed.first().at(1).toInt(), 0);
    QCOMPARE(removed.first().at(2).toInt(), 1);
    QCOMPARE(m_model->rowCount(), 0);
    QCOMPARE(reset.size(), 0);
    m_model->onDocsDeleted();
    QCOMPARE(removed.size(), 1);
}

void tst_CombinedSearchModel::newTextResetsTheTree()
{
    addDoc(m_first);
    addDoc(m_third);
    search(QStringLiteral("harbour"));
    QTRY_VERIFY(searchDone());
    QSignalSpy reset(m_model.get(), &QAbstractItemModel::modelReset);

    search(QStringLiteral("there"));
    QCOMPARE(reset.size(), 1);
    // Empty until the documents report the new text's hits.
    QCOMPARE(m_model->rowCount(), 0);
    QTRY_VERIFY(searchDone());
    QCOMPARE(m_model->rowCount(), 1);
    const QModelIndex hit = m_model->index(0, 0, m_model->index(0, 0));
    QCOMPARE(m_model->index(0, 0).data(role(CombinedSearchModel::FileNameRole)).toString(),
        QStringLiteral("third.pdf"));
    QCOMPARE(
        hit.data(role(CombinedSearchModel::SearchStringRole)).toString(), QStringLiteral("there"));

    search(QString());
    QCOMPARE(reset.size(), 2);
    QCOMPARE(m_model->rowCount(), 0);
}

void tst_CombinedSearchModel::removalStopsARunningSearch_data()
{
    QTest::addColumn<QString>("removed");
    QTest::addColumn<QStringList>("left");
    // long.pdf has shown its first hits; late.pdf is still searching without a hit.
    QTest::newRow("a document with hits") << "long.pdf" << QStringList { "late.pdf" };
    QTest::newRow("a document without a hit yet") << "late.pdf" << QStringList { "long.pdf" };
    QTest::newRow("every document") << "" << QStringList();
}

void tst_CombinedSearchModel::removalStopsARunningSearch()
{
    QFETCH(QString, removed);
    QFETCH(QStringList, left);
    Doc *running = addDoc(m_long);
    Doc *late = addDoc(m_late);
    const auto searchOf
        = [](Doc *doc) { return qobject_cast<TimeSlicedSearchModel *>(doc->pdfSearchModel()); };
    QSignalSpy reported(running, &Doc::pdfSearchResultsAdded);
    search(QStringLiteral("harbour"));
    QVERIFY(reported.wait(5000));
    QVERIFY(searchOf(running)->isSearching());
    QVERIFY(searchOf(late)->isSearching());
    QCOMPARE(m_model->rowCount(), 1);

    if (removed.isEmpty()) {
        m_model->onDocsDeleted();
    } else {
        Doc *doc = removed == QLatin1String("long.pdf") ? running : late;
        m_model->onDocDeleted(doc->path());
        QVERIFY(!searchOf(doc)->isSearching());
    }
    QCOMPARE(searchOf(running)->isSearching(), left.contains(QStringLiteral("long.pdf")));
    QCOMPARE(searchOf(late)->isSearching(), left.contains(QStringLiteral("late.pdf")));
    // With every search ended, no hit can come any more.
    QTRY_VERIFY_WITH_TIMEOUT(searchDone(), 30000);
    QStringList files;
    for (int row = 0; row < m_model->rowCount(); ++row)
        files.append(
            m_model->index(row, 0).data(role(CombinedSearchModel::FileNameRole)).toString());
    QCOMPARE(files, left);
}

void tst_CombinedSearchModel::documentOutsideItsListAddsNoHits()
{
    // A document of a list that is none of its rows: one that has left the list while its last
    // page was still being searched.
    DocList list;
    auto *doc = new Doc(m_first, &list);
    connect(doc, &Doc::pdfSearchResultsAdded, m_model.get(),
        &CombinedSearchModel::onPdfSearchResultsAdded);
    QSignalSpy reported(doc, &Doc::pdfSearchResultsAdded);
    doc->pdfSearchModel()->setSearchString(QStringLiteral("harbour"));
    m_model->onSearchStringChanged(QStringLiteral("harbour"));
    QTRY_COMPARE(reported.size(), 2);
    QCOMPARE(m_model->rowCount(), 0);
}

void tst_CombinedSearchModel::pathThatIsNoLocalFileIsItsOwnName()
{
    const QString remote = QStringLiteral("https://example.org/harbour.pdf");
    QTest::ignoreMessage(QtDebugMsg, "Doc could not be loaded");
    Doc *doc = addDoc(remote);
    m_model->onPdfSearchResultsAdded(doc, QModelIndex(), 0, 0);
    QCOMPARE(m_model->rowCount(), 1);
    QCOMPARE(m_model->index(0, 0).data(role(CombinedSearchModel::FileNameRole)).toString(), remote);
}

QTEST_MAIN(tst_CombinedSearchModel)
#include "tst_combinedsearchmodel.moc"
