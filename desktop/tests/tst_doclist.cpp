#include "addressspacelimit.h"
#include "chat.h"
#include "doc.h"
#include "doclist.h"
#include "docproxylist.h"
#include "docreader.h"
#include "llmclient.h"
#include "testenvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QPdfDocument>
#include <QPdfSearchModel>
#include <QPointer>
#include <QQmlEngine>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>
#include <optional>

#include <csignal>

using namespace TestEnvironment;

namespace {

QStringList paragraphs(int count, const QString &tag)
{
    QStringList result;
    for (int i = 0; i < count; ++i)
        result.append(QStringLiteral("Paragraph %1 of %2 describes its own item in plain words.")
                          .arg(i)
                          .arg(tag));
    return result;
}

// Pages of paragraphs, the same number on each.
QList<QStringList> pagesOf(int pages, int perPage, const QString &tag)
{
    QList<QStringList> result;
    for (int page = 0; page < pages; ++page)
        result.append(paragraphs(perPage, QStringLiteral("%1 %2").arg(tag).arg(page)));
    return result;
}

// The "chunks" messages the service received, in order.
QList<QJsonArray> batches(const OnlineService &service)
{
    QList<QJsonArray> result;
    for (const QString &text : service.received(QStringLiteral("chunks")))
        result.append(QJsonDocument::fromJson(text.toUtf8()).object().value("chunks").toArray());
    return result;
}

QList<int> sizes(const QList<QJsonArray> &arrays)
{
    QList<int> result;
    for (const QJsonArray &array : arrays)
        result.append(int(array.size()));
    return result;
}

QStringList names(const DocList &docs)
{
    QStringList result;
    for (int row = 0; row < docs.rowCount(); ++row)
        result.append(docs.index(row).data(DocList::DocNameRole).toString());
    return result;
}

} // namespace

class tst_DocList : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void dataByRole_data();
    void dataByRole();
    void docObjectsThroughProxy();
    void doubleClicked_data();
    void doubleClicked();
    void highlightRef_data();
    void highlightRef();
    void delDataOutsideChangesNothing_data();
    void delDataOutsideChangesNothing();
    void delDataTellsSearchAndViewer();
    void departedReferenceShowsOnlyAnUnchangedFile_data();
    void departedReferenceShowsOnlyAnUnchangedFile();
    void clearDocs();
    void setProgress_data();
    void setProgress();
    void searchReachesListedDocsOnly();
    void deletedRowReportsNoMoreSearchResults();
    void debianManualIsListed();

    void batchesAndProgress();
    void otherFilesArePassedOver();
    void leftOutDocumentIsTold_data();
    void leftOutDocumentIsTold();
    void pathsListedOrQueuedAreNotAddedAgain();
    void secondDropDuringRun();
    void misbehavingScrivex_data();
    void misbehavingScrivex();
    void unsentBatchLeavesDocumentOut();
    void serverDeathLeavesDocumentOut();
    void leavingDocumentsAreFreed_data();
    void leavingDocumentsAreFreed();
    void memoryStaysFlatOverAddRemoveCycles();

private:
    QString pdf(const QString &name, const QList<QStringList> &pages);
    bool ingest(Chat &chat, const QStringList &urls);

    QTemporaryDir m_root;
    std::unique_ptr<Chat> m_listed;
    std::unique_ptr<Online> m_listedOnline;
    QStringList m_listedUrls;
    QList<int> m_progress;
};

void tst_DocList::initTestCase()
{
    QVERIFY(m_root.isValid());
    isolate(m_root);
    qRegisterMetaType<QPdfDocument *>();
    qRegisterMetaType<const QPdfDocument *>();
    QDir(m_root.path()).mkdir(QStringLiteral("pdfs"));

    // A list of two documents that the read-only tests share.
    m_listed = std::make_unique<Chat>();
    m_listedOnline = std::make_unique<Online>(*m_listed);
    QVERIFY(m_listedOnline->open());
    m_listedUrls = { pdf(QStringLiteral("first.pdf"), { paragraphs(2, "first") }),
        pdf(QStringLiteral("second.pdf"), { paragraphs(1, "second") }) };
    QVERIFY(ingest(*m_listed, m_listedUrls));
    QCOMPARE(m_listed->docs()->rowCount(), 2);
}

void tst_DocList::init()
{
    clearSettings();
}

QString tst_DocList::pdf(const QString &name, const QList<QStringList> &pages)
{
    const QString path = QDir(m_root.filePath(QStringLiteral("pdfs"))).filePath(name);
    writePdf(path, pages);
    return fileUrl(path);
}

bool tst_DocList::ingest(Chat &chat, const QStringList &urls)
{
    m_progress.clear();
    QObject context;
    connect(chat.docs(), &DocList::progressChanged, &context,
        [&] { m_progress.append(chat.docs()->progress()); });
    chat.docs()->addDataList(urls);
    return QTest::qWaitFor([&] { return !chat.docs()->isIngesting(); }, 60000);
}

void tst_DocList::dataByRole_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("role");
    QTest::addColumn<QVariant>("expected");
    QTest::newRow("name") << 0 << int(DocList::DocNameRole) << QVariant("first.pdf");
    QTest::newRow("path") << 1 << int(DocList::DocPathRole) << QVariant(m_listedUrls.value(1));
    QTest::newRow("stat") << 1 << int(DocList::DocStatRole) << QVariant(int(Doc::INGESTED));
    QTest::newRow("role 257") << 0 << 257 << QVariant();
    QTest::newRow("display role") << 0 << int(Qt::DisplayRole) << QVariant();
    QTest::newRow("row -1") << -1 << int(DocList::DocNameRole) << QVariant();
    QTest::newRow("row count") << 2 << int(DocList::DocNameRole) << QVariant();
}

void tst_DocList::dataByRole()
{
    QFETCH(int, row);
    QFETCH(int, role);
    QFETCH(QVariant, expected);
    DocList *docs = m_listed->docs();
    const QVariant value = docs->data(docs->index(row, 0), role);
    QCOMPARE(value, expected);
    QCOMPARE(value.typeId(), expected.typeId());
}

void tst_DocList::docObjectsThroughProxy()
{
    DocList *docs = m_listed->docs();
    DocProxyList *proxy = m_listed->docsProxy();
    QCOMPARE(proxy->count(), 2);
    const QHash<int, QByteArray> roles { { DocList::DocNameRole, "name" },
        { DocList::DocPathRole, "path" }, { DocList::DocStatRole, "stat" },
        { DocList::DocObjectRole, "docObject" } };
    QCOMPARE(docs->roleNames(), roles);
    for (int row = 0; row < 2; ++row) {
        Doc *doc = docs->index(row).data(DocList::DocObjectRole).value<Doc *>();
        QVERIFY(doc);
        QCOMPARE(doc->path(), m_listedUrls.at(row));
        QCOMPARE(proxy->get(row), doc);
    }
    QCOMPARE(proxy->get(-1), nullptr);
    QCOMPARE(proxy->get(2), nullptr);
}

void tst_DocList::doubleClicked_data()
{
    QTest::addColumn<int>("row");
    QTest::newRow("first") << 0;
    QTest::newRow("second") << 1;
    QTest::newRow("-1") << -1;
    QTest::newRow("count") << 2;
}

void tst_DocList::doubleClicked()
{
    QFETCH(int, row);
    DocList *docs = m_listed->docs();
    QSignalSpy opened(docs, &DocList::pdfDoubleClicked);
    docs->doubleClicked(row);
    if (row < 0 || row >= docs->rowCount()) {
        QCOMPARE(opened.size(), 0);
        return;
    }
    Doc *doc = m_listed->docsProxy()->get(row);
    QCOMPARE(opened.size(), 1);
    QCOMPARE(opened.first().at(0).value<QPdfDocument *>(), doc->pdfDocument());
    QCOMPARE(opened.first().at(1).toString(), doc->name());
}

void tst_DocList::highlightRef_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("shown");
    QTest::addColumn<QString>("toldName");
    QTest::newRow("listed") << m_listedUrls.value(1) << true << QString();
    QTest::newRow("local path of a listed one")
        << QUrl(m_listedUrls.value(1)).toLocalFile() << false
        << QUrl(m_listedUrls.value(1)).toLocalFile();
    QTest::newRow("not listed") << "file:///nowhere.pdf" << false << "nowhere.pdf";
}

void tst_DocList::highlightRef()
{
    QFETCH(QString, path);
    QFETCH(bool, shown);
    QFETCH(QString, toldName);
    DocList *docs = m_listed->docs();
    QSignalSpy highlighted(docs, &DocList::highlightPdfRef);
    QSignalSpy told(docs, &DocList::referenceUnlisted);
    // A click on a reference of an answer arrives through the assistant user.
    emit m_listed->openedChatUser()->highlightRef(Chunk(path, 0, 1, 2, 3, 4));
    QCOMPARE(highlighted.size(), shown ? 1 : 0);
    // A click never does nothing: what cannot be shown is told.
    QCOMPARE(told.size(), shown ? 0 : 1);
    if (!shown) {
        QCOMPARE(told.first().first().toString(), toldName);
        return;
    }
    QCOMPARE(highlighted.first().at(0).value<QPdfDocument *>(),
        m_listed->docsProxy()->get(1)->pdfDocument());
    QCOMPARE(highlighted.first().at(1).toString(), QStringLiteral("second.pdf"));
    QCOMPARE(highlighted.first().at(2).value<Chunk>().rect(), QRectF(1, 2, 3, 4));
}

void tst_DocList::delDataOutsideChangesNothing_data()
{
    QTest::addColumn<int>("row");
    QTest::newRow("-1") << -1;
    QTest::newRow("count") << 2;
}

void tst_DocList::delDataOutsideChangesNothing()
{
    QFETCH(int, row);
    DocList *docs = m_listed->docs();
    QSignalSpy removed(docs, &QAbstractItemModel::rowsAboutToBeRemoved);
    QSignalSpy deleted(docs, &DocList::docDeleted);
    QSignalSpy closed(docs, &DocList::closeDoc);
    docs->delData(row);
    QCOMPARE(docs->rowCount(), 2);
    QCOMPARE(removed.size() + deleted.size() + closed.size(), 0);
}

void tst_DocList::delDataTellsSearchAndViewer()
{
    Chat chat;
    Online online(chat);
    QVERIFY(online.open());
    QVERIFY(ingest(chat, m_listedUrls));
    DocList *docs = chat.docs();
    QPdfDocument *first = chat.docsProxy()->get(0)->pdfDocument();
    QSignalSpy deleted(docs, &DocList::docDeleted);
    QSignalSpy closed(docs, &DocList::closeDoc);
    QSignalSpy countChanged(chat.docsProxy(), &DocProxyList::countChanged);

    docs->delData(0);
    QCOMPARE(names(*docs), QStringList { QStringLiteral("second.pdf") });
    QCOMPARE(deleted.size(), 1);
    QCOMPARE(deleted.first().first().toString(), m_listedUrls.first());
    QCOMPARE(closed.size(), 1);
    QCOMPARE(closed.first().first().value<const QPdfDocument *>(), first);
    QCOMPARE(countChanged.size(), 1);
    // The viewer and the search are told while the document still exists; then it is freed.
    QPointer<QPdfDocument> freed(first);
    QVERIFY(freed);
    QTRY_VERIFY(!freed);
}

void tst_DocList::departedReferenceShowsOnlyAnUnchangedFile_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("shown");
    QTest::newRow("unchanged") << "unchanged" << true;
    QTest::newRow("list cleared, unchanged") << "cleared" << true;
    QTest::newRow("touched, same bytes") << "touched" << true;
    QTest::newRow("one byte changed in place") << "byte" << false;
    QTest::newRow("deleted") << "deleted" << false;
    QTest::newRow("a folder in its place") << "folder" << false;
}

void tst_DocList::departedReferenceShowsOnlyAnUnchangedFile()
{
    QFETCH(QString, file);
    QFETCH(bool, shown);
    Chat chat;
    Online online(chat);
    QVERIFY(online.open());
    const QString url = pdf(QStringLiteral("departing %1.pdf").arg(file),
        { paragraphs(1, "departing"), paragraphs(1, "second page") });
    QVERIFY(ingest(chat, { url }));
    DocList *docs = chat.docs();
    QCOMPARE(docs->rowCount(), 1);
    QPdfDocument *listed = chat.docsProxy()->get(0)->pdfDocument();
    // Removed with its cross, or with the whole list at a mode switch.
    if (file == QLatin1String("cleared"))
        docs->clearDocs();
    else
        docs->delData(0);

    const QString path = QUrl(url).toLocalFile();
    QFile pdfFile(path);
    if (file == QLatin1String("touched")) {
        QVERIFY(pdfFile.open(QIODevice::ReadWrite));
        const QByteArray bytes = pdfFile.readAll();
        QVERIFY(pdfFile.seek(0));
        QCOMPARE(pdfFile.write(bytes), bytes.size());
        pdfFile.close();
    } else if (file == QLatin1String("byte")) {
        QVERIFY(pdfFile.open(QIODevice::ReadWrite));
        QVERIFY(pdfFile.seek(pdfFile.size() / 2));
        char byte = 0;
        QVERIFY(pdfFile.getChar(&byte));
        QVERIFY(pdfFile.seek(pdfFile.size() / 2));
        QVERIFY(pdfFile.putChar(char(byte ^ 0x20)));
        pdfFile.close();
    } else if (file == QLatin1String("deleted")) {
        QVERIFY(pdfFile.remove());
    } else if (file == QLatin1String("folder")) {
        QVERIFY(pdfFile.remove());
        QVERIFY(QDir().mkpath(path));
    }

    QSignalSpy highlighted(docs, &DocList::highlightPdfRef);
    QSignalSpy told(docs, &DocList::referenceUnlisted);
    docs->highlightRef(Chunk(url, 1, 72, 100, 300, 14));
    // The file is read and compared off the GUI thread.
    QTRY_COMPARE(highlighted.size() + told.size(), 1);
    QCOMPARE(highlighted.size(), shown ? 1 : 0);
    if (file == QLatin1String("folder"))
        QDir(path).removeRecursively();
    if (!shown) {
        QCOMPARE(told.first().first().toString(), QFileInfo(path).fileName());
        return;
    }
    auto *document = highlighted.first().at(0).value<QPdfDocument *>();
    QVERIFY(document && document != listed);
    QCOMPARE(document->pageCount(), 2);
    QCOMPARE(highlighted.first().at(1).toString(), QFileInfo(path).fileName());
    QCOMPARE(highlighted.first().at(2).value<Chunk>().page(), 1);
    // It is not listed again, and a second click shows the same document.
    QCOMPARE(docs->rowCount(), 0);
    docs->highlightRef(Chunk(url, 0, 72, 100, 300, 14));
    QTRY_COMPARE(highlighted.size(), 2);
    QCOMPARE(highlighted.last().at(0).value<QPdfDocument *>(), document);
}

void tst_DocList::clearDocs()
{
    Chat chat;
    Online online(chat);
    QVERIFY(online.open());
    DocList *docs = chat.docs();
    QSignalSpy reset(docs, &QAbstractItemModel::modelReset);
    QSignalSpy removed(docs, &QAbstractItemModel::rowsRemoved);
    QSignalSpy closed(docs, &DocList::closeDocs);
    QSignalSpy deleted(docs, &DocList::docsDeleted);
    docs->clearDocs();
    QCOMPARE(reset.size() + removed.size() + closed.size() + deleted.size(), 0);

    QVERIFY(ingest(chat, m_listedUrls));
    docs->clearDocs();
    QCOMPARE(docs->rowCount(), 0);
    QCOMPARE(removed.size(), 1);
    QCOMPARE(closed.size(), 1);
    QCOMPARE(deleted.size(), 1);
    // A cleared path can be added again.
    QVERIFY(ingest(chat, { m_listedUrls.first() }));
    QCOMPARE(names(*docs), QStringList { QStringLiteral("first.pdf") });
}

void tst_DocList::setProgress_data()
{
    QTest::addColumn<QList<int>>("writes");
    QTest::addColumn<int>("announced");
    QTest::newRow("0 twice") << QList<int> { 0, 0 } << 2;
    QTest::newRow("50 twice") << QList<int> { 50, 50 } << 1;
    QTest::newRow("50, 0, 0, 100") << QList<int> { 50, 0, 0, 100 } << 4;
}

void tst_DocList::setProgress()
{
    QFETCH(QList<int>, writes);
    QFETCH(int, announced);
    DocList docs;
    QSignalSpy changed(&docs, &DocList::progressChanged);
    for (int value : writes)
        docs.setProgress(value);
    QCOMPARE(changed.size(), announced);
    QCOMPARE(docs.progress(), writes.last());
}

void tst_DocList::searchReachesListedDocsOnly()
{
    Chat chat;
    Online online(chat);
    QVERIFY(online.open());
    QVERIFY(ingest(chat, { m_listedUrls.first() }));
    DocList *docs = chat.docs();
    QSignalSpy changed(docs, &DocList::searchStringChanged);
    QSignalSpy results(docs, &DocList::pdfSearchResultsAdded);

    docs->setSearchString(QStringLiteral("paragraph"));
    docs->setSearchString(QStringLiteral("paragraph"));
    QCOMPARE(changed.size(), 1);
    Doc *first = chat.docsProxy()->get(0);
    QCOMPARE(first->pdfSearchModel()->searchString(), QStringLiteral("paragraph"));
    QVERIFY(results.wait(5000));
    QCOMPARE(results.first().at(0).value<Doc *>(), first);

    // Listed later, a document is searched for the text set before it came.
    results.clear();
    QVERIFY(ingest(chat, { m_listedUrls.last() }));
    Doc *second = chat.docsProxy()->get(1);
    QCOMPARE(second->pdfSearchModel()->searchString(), QStringLiteral("paragraph"));
    QTRY_VERIFY(std::any_of(results.cbegin(), results.cend(),
        [second](const QList<QVariant> &report) { return report.at(0).value<Doc *>() == second; }));
}

void tst_DocList::deletedRowReportsNoMoreSearchResults()
{
    Chat chat;
    Online online(chat);
    QVERIFY(online.open());
    QList<QStringList> pages;
    for (int page = 0; page < 6; ++page)
        pages.append(paragraphs(1, QStringLiteral("page %1").arg(page)));
    QVERIFY(ingest(chat, { pdf(QStringLiteral("six pages.pdf"), pages) }));
    DocList *docs = chat.docs();
    QPdfSearchModel *search = chat.docsProxy()->get(0)->pdfSearchModel();
    QSignalSpy results(docs, &DocList::pdfSearchResultsAdded);
    docs->setSearchString(QStringLiteral("paragraph"));
    QVERIFY(results.wait(5000));

    QPointer<QPdfSearchModel> running(search);
    docs->delData(0);
    results.clear();
    // No search goes on over a document that is gone.
    QTRY_VERIFY(!running);
    QTest::qWait(300);
    QCOMPARE(results.size(), 0);
}

void tst_DocList::debianManualIsListed()
{
    const QString manual = QStringLiteral("/usr/share/doc/libtasn1-doc/libtasn1.pdf");
    if (!QFile::exists(manual))
        QSKIP("libtasn1-doc is not installed");
    Chat chat;
    Online online(chat);
    QVERIFY(online.open());
    const QString url = fileUrl(manual);
    QVERIFY(ingest(chat, { url }));
    QCOMPARE(names(*chat.docs()), QStringList { QStringLiteral("libtasn1.pdf") });
    QCOMPARE(m_progress.first(), 0);
    QCOMPARE(m_progress.last(), 100);

    int chunks = 0;
    for (const QJsonArray &batch : batches(online.service)) {
        QVERIFY(batch.size() <= DocList::MaxChunksPerBatch);
        for (const QJsonValue &value : batch) {
            const QJsonObject chunk = value.toObject();
            QCOMPARE(chunk.value("doc").toString(), url);
            QVERIFY(chunk.value("page").toInt() < 36);
            ++chunks;
        }
    }
    QVERIFY2(chunks > 36, qPrintable(QString::number(chunks)));
}

void tst_DocList::batchesAndProgress()
{
    Chat chat;
    Online online(chat);
    QVERIFY(online.open());
    // Ten pages: 100 paragraphs on pages 0 to 4, one on each of pages 5 to 9.
    QList<QStringList> first;
    for (int page = 0; page < 10; ++page)
        first.append(paragraphs(page < 5 ? 20 : 1, QStringLiteral("first %1").arg(page)));
    // Thirty pages: 250 paragraphs on pages 20 to 29.
    QList<QStringList> second;
    for (int page = 0; page < 30; ++page)
        second.append(
            page < 20 ? QStringList() : paragraphs(25, QStringLiteral("second %1").arg(page)));
    const QStringList urls { pdf(QStringLiteral("ten.pdf"), first),
        pdf(QStringLiteral("thirty.pdf"), second) };

    QVERIFY(ingest(chat, urls));
    QCOMPARE(m_progress, (QList<int> { 0, 10, 23, 25, 83, 93, 98, 100 }));
    QCOMPARE(names(*chat.docs()), (QStringList { "ten.pdf", "thirty.pdf" }));

    const QList<QJsonArray> sent = batches(online.service);
    QCOMPARE(sizes(sent), (QList<int> { 100, 5, 100, 100, 50 }));
    for (int b = 0; b < sent.size(); ++b) {
        for (const QJsonValue &value : sent.at(b)) {
            const QJsonObject chunk = value.toObject();
            QCOMPARE(chunk.value("doc").toString(), urls.at(b < 2 ? 0 : 1));
            QCOMPARE(chunk.value("type").toString(), QStringLiteral("chunk"));
            QCOMPARE(chunk.value("index").toInteger(-1), 0);
        }
    }
    // Each batch leaves only after the ACK of the one before.
    QStringList order;
    for (const QString &line : online.service.log()) {
        if (line.startsWith(QLatin1String("<< ")) && line.contains(QLatin1String("\"chunks\"")))
            order.append(QStringLiteral("chunks"));
        else if (line == QLatin1String(">> {\"type\":\"ACK\"}"))
            order.append(QStringLiteral("ACK"));
    }
    QCOMPARE(
        order.join(' '), QStringLiteral("chunks ACK chunks ACK chunks ACK chunks ACK chunks ACK"));
}

void tst_DocList::otherFilesArePassedOver()
{
    Chat chat;
    Online online(chat);
    QVERIFY(online.open());
    const QString text = m_root.filePath(QStringLiteral("pdfs/notes.txt"));
    QFile file(text);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("Paragraph of plain text.\n");
    file.close();
    const QString broken = m_root.filePath(QStringLiteral("pdfs/broken.pdf"));
    QVERIFY(QFile::copy(text, broken));

    QVERIFY(ingest(chat,
        { fileUrl(text), QStringLiteral("https://example.org/remote.pdf"), m_listedUrls.first(),
            fileUrl(broken) }));
    QCOMPARE(names(*chat.docs()), QStringList { QStringLiteral("first.pdf") });
    QCOMPARE(m_progress.first(), 0);
    QCOMPARE(m_progress.last(), 100);

    // A run whose documents have no pages at all still ends at 100.
    QVERIFY(ingest(chat, { fileUrl(text), fileUrl(broken) }));
    QCOMPARE(m_progress.first(), 0);
    QCOMPARE(m_progress.last(), 100);
    QCOMPARE(chat.docs()->rowCount(), 1);
}

void tst_DocList::leftOutDocumentIsTold_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("reason");
    // The stand-in saves this one anew between its first and its second chunk.
    QTest::newRow("changed while it was read") << "rewritten.pdf"
                                               << "its file changed while it was being added";
    QTest::newRow("too large to hold") << "huge.pdf"
                                       << "there is not enough memory to hold it";
    QTest::newRow("larger than scrivex reads") << "over.pdf"
                                               << "it is larger than 2 GB";
}

void tst_DocList::leftOutDocumentIsTold()
{
    QFETCH(QString, name);
    QFETCH(QString, reason);
    Chat chat;
    Online online(chat);
    QVERIFY(online.open());
    QString url = pdf(name, { paragraphs(2, "old") });
    std::optional<AddressSpaceLimit> limit;
    if (name != QLatin1String("rewritten.pdf")) {
        // Sparse: it takes no room on disk. One byte over 2 GB - 1 is passed over unread; below
        // that, its bytes cannot be had under the limit.
        const bool over = name == QLatin1String("over.pdf");
        QFile file(QUrl(url).toLocalFile());
        QVERIFY(file.open(QIODevice::WriteOnly)
            && file.resize(over ? DocReader::MaxFileSize + 1 : qint64(1) << 30));
        file.close();
        limit.emplace(qint64(over ? 256 : 512) << 20);
        QVERIFY(limit->isSet());
    }
    QSignalSpy passedOver(chat.docs(), &DocList::docPassedOver);
    QTest::ignoreMessage(QtWarningMsg,
        QRegularExpression(
            QStringLiteral("^The document .*%1 is left out: %2$").arg(name, reason)));

    const bool ended = ingest(chat, { url, m_listedUrls.first() });
    limit.reset();
    QFile::remove(QUrl(url).toLocalFile());
    QVERIFY(ended);
    QCOMPARE(names(*chat.docs()), QStringList { QStringLiteral("first.pdf") });
    QCOMPARE(passedOver.size(), 1);
    QCOMPARE(passedOver.first().at(0).toString(), name);
    QCOMPARE(passedOver.first().at(1).toString(), reason);
    QCOMPARE(m_progress.first(), 0);
    QCOMPARE(m_progress.last(), 100);
    // The back end never gets chunks that no listed document holds.
    for (const QJsonArray &batch : batches(online.service)) {
        for (const QJsonValue &chunk : batch)
            QCOMPARE(chunk.toObject().value("doc").toString(), m_listedUrls.first());
    }
}

void tst_DocList::pathsListedOrQueuedAreNotAddedAgain()
{
    Chat chat;
    Online online(chat);
    QVERIFY(online.open());
    const QString url = m_listedUrls.first();
    QVERIFY(ingest(chat, { url, url }));
    QCOMPARE(chat.docs()->rowCount(), 1);
    QCOMPARE(batches(online.service).size(), 1);

    QSignalSpy progress(chat.docs(), &DocList::progressChanged);
    chat.docs()->addDataList({ url });
    QVERIFY(!chat.docs()->isIngesting());
    QCOMPARE(progress.size(), 0);
    QCOMPARE(chat.docs()->rowCount(), 1);
}

void tst_DocList::secondDropDuringRun()
{
    Chat chat;
    Online online(chat);
    QVERIFY(online.open());
    const QString early = pdf(QStringLiteral("early.pdf"), pagesOf(5, 25, QStringLiteral("early")));
    const QString late = m_listedUrls.last();
    QTest::failOnWarning(QRegularExpression(QStringLiteral("already running")));

    m_progress.clear();
    chat.docs()->addDataList({ early });
    QVERIFY(chat.docs()->isIngesting());
    QVERIFY(ingest(chat, { late }));
    QCOMPARE(names(*chat.docs()), (QStringList { "early.pdf", "second.pdf" }));
    const QList<QJsonArray> sent = batches(online.service);
    QCOMPARE(sizes(sent), (QList<int> { 100, 25, 1 }));
    for (int b = 0; b < sent.size(); ++b) {
        for (const QJsonValue &value : sent.at(b))
            QCOMPARE(value.toObject().value("doc").toString(), b < 2 ? early : late);
    }
}

void tst_DocList::misbehavingScrivex_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("chunksSent");
    QTest::addColumn<bool>("listed");
    // A document left out sends nothing: no one could see or remove its chunks.
    QTest::newRow("crash after two chunks") << "crash.pdf" << 0 << false;
    QTest::newRow("silent after one chunk") << "hang.pdf" << 0 << false;
    QTest::newRow("exit code 3") << "fail.pdf" << 0 << false;
    QTest::newRow("objects cut and joined by the pipe") << "split.pdf" << 3 << true;
    // Exit code 4: the readable pages are listed, and the log names the lost one as scrivex
    // counts it (poppler passes over a broken page entry, so the pages after it move up).
    QTest::newRow("one damaged page") << "damaged.pdf" << 2 << true;
}

void tst_DocList::misbehavingScrivex()
{
    QFETCH(QString, name);
    QFETCH(int, chunksSent);
    QFETCH(bool, listed);
    Chat chat;
    Online online(chat);
    QVERIFY(online.open());
    chat.docs()->setScrivexTimeout(1000);
    QString url = pdf(name, { paragraphs(1, name) });
    if (name.startsWith(QLatin1String("damaged"))) {
        const QString path = QDir(m_root.filePath(QStringLiteral("pdfs"))).filePath(name);
        writeDamagedPdf(path,
            { QStringLiteral("First page survives."), QStringLiteral("Second page is lost."),
                QStringLiteral("Third page survives too.") },
            1);
        url = fileUrl(path);
        QTest::ignoreMessage(QtWarningMsg,
            QRegularExpression(QStringLiteral(
                "^Some pages of .*damaged.pdf are damaged; it is listed without pages: \\d+$")));
    }
    const QString good = m_listedUrls.last();

    QVERIFY(ingest(chat, { url, good }));
    const QStringList expected = listed ? QStringList { name, QStringLiteral("second.pdf") }
                                        : QStringList { QStringLiteral("second.pdf") };
    QCOMPARE(names(*chat.docs()), expected);
    int fromIt = 0;
    for (const QJsonArray &batch : batches(online.service)) {
        for (const QJsonValue &value : batch)
            fromIt += value.toObject().value("doc").toString() == url ? 1 : 0;
    }
    QCOMPARE(fromIt, chunksSent);
    QCOMPARE(m_progress.last(), 100);
}

void tst_DocList::unsentBatchLeavesDocumentOut()
{
    // No WebSocket is open, so no batch can leave.
    Chat chat;
    const QString blank = pdf(QStringLiteral("blank.pdf"), { QStringList() });
    QTest::ignoreMessage(
        QtWarningMsg, QRegularExpression(QStringLiteral("not connected; left out")));
    QVERIFY(ingest(chat, { m_listedUrls.first(), blank }));
    QCOMPARE(names(*chat.docs()), QStringList { QStringLiteral("blank.pdf") });
    QCOMPARE(m_progress.last(), 100);
}

void tst_DocList::serverDeathLeavesDocumentOut()
{
    const QString models = makeModelFolder(m_root.path());
    storeSetting(QStringLiteral("localAI"), true);
    storeSetting(QStringLiteral("oraculdDir"), QDir::toNativeSeparators(models));
    storeSetting(QStringLiteral("ansLLM"), QStringLiteral("answer"));
    storeSetting(QStringLiteral("retLLM"), QStringLiteral("retrieval"));
    Chat chat;
    QTRY_VERIFY_WITH_TIMEOUT(
        chat.llmClient()->findChild<QLocalSocket *>()->state() == QLocalSocket::ConnectedState,
        30000);
    const QString doomed
        = pdf(QStringLiteral("doomed.pdf"), pagesOf(5, 25, QStringLiteral("doomed")));
    const QString blank = pdf(QStringLiteral("blank after.pdf"), { QStringList() });

    // The server dies right after the first batch has left, before it can answer.
    QObject context;
    connect(chat.docs(), &DocList::progressChanged, &context, [&] {
        if (chat.docs()->progress() <= 0 || chat.docs()->progress() >= 100)
            return;
        // Once the server is gone its pid reads 0, and kill(0) would hit our own process group.
        const qint64 pid = chat.llmClient()->findChild<QProcess *>()->processId();
        if (pid > 0)
            ::kill(pid_t(pid), SIGKILL);
    });
    QVERIFY(ingest(chat, { doomed, blank }));
    QCOMPARE(names(*chat.docs()), QStringList { QStringLiteral("blank after.pdf") });
    QCOMPARE(m_progress.last(), 100);
}

void tst_DocList::leavingDocumentsAreFreed_data()
{
    QTest::addColumn<QString>("way");
    QTest::newRow("row deleted") << "delete";
    QTest::newRow("list cleared") << "clear";
    QTest::newRow("ingestion failed") << "fail";
}

void tst_DocList::leavingDocumentsAreFreed()
{
    QFETCH(QString, way);
    Chat chat;
    Online online(chat);
    QVERIFY(online.open());
    DocList *docs = chat.docs();
    const QString url = way == QLatin1String("fail")
        ? pdf(QStringLiteral("fail.pdf"), { paragraphs(1, "fail") })
        : m_listedUrls.first();
    docs->addDataList({ url });
    QTRY_VERIFY_WITH_TIMEOUT(!docs->isIngesting(), 30000);
    if (way == QLatin1String("fail")) {
        QCOMPARE(docs->rowCount(), 0);
        QTRY_VERIFY(docs->findChildren<Doc *>().isEmpty()
            && docs->findChildren<QPdfDocument *>().isEmpty()
            && docs->findChildren<QPdfSearchModel *>().isEmpty());
        return;
    }
    const QList<Doc *> created = docs->findChildren<Doc *>();
    QCOMPARE(created.size(), 1);
    QPointer<QPdfDocument> document(created.first()->pdfDocument());
    QPointer<QPdfSearchModel> search(created.first()->pdfSearchModel());

    // The search and the viewer hear of a leaving document while its objects still exist.
    int toldWhileAlive = 0;
    const auto tell = [&] { toldWhileAlive += document && search ? 1 : 0; };
    connect(docs, &DocList::docDeleted, this, tell);
    connect(docs, &DocList::docsDeleted, this, tell);
    connect(docs, &DocList::closeDoc, this, tell);
    connect(docs, &DocList::closeDocs, this, tell);
    if (way == QLatin1String("delete")) {
        docs->setSearchString(QStringLiteral("paragraph"));
        docs->delData(0);
        QCOMPARE(toldWhileAlive, 2);
    } else if (way == QLatin1String("clear")) {
        docs->clearDocs();
        QCOMPARE(toldWhileAlive, 2);
    }
    QCOMPARE(docs->rowCount(), 0);
    QTRY_VERIFY(!document && !search);
    disconnect(docs, nullptr, this, nullptr);
}

void tst_DocList::memoryStaysFlatOverAddRemoveCycles()
{
    Chat chat;
    Online online(chat);
    QVERIFY(online.open());
    // The stand-in reads it at once: what is measured is the desktop's side.
    const QString url
        = pdf(QStringLiteral("quick hundred pages.pdf"), pagesOf(100, 1, QStringLiteral("page")));
    DocList *docs = chat.docs();

    // Added, searched and removed, as a user does it.
    const auto cycle = [&](int round) {
        docs->addDataList({ url });
        if (!QTest::qWaitFor([&] { return docs->rowCount() == 1; }, 30000))
            return false;
        docs->setSearchString(QStringLiteral("paragraph %1").arg(round % 7));
        QTest::qWait(20);
        chat.delDoc(0);
        if (!QTest::qWaitFor([&] { return docs->rowCount() == 0; }, 10000))
            return false;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return true;
    };
    for (int round = 0; round < 3; ++round)
        QVERIFY(cycle(round));
    const qint64 start = residentKb();
    for (int round = 0; round < 50; ++round)
        QVERIFY2(cycle(round), qPrintable(QStringLiteral("cycle %1").arg(round)));
    QTest::qWait(200);
    const qint64 end = residentKb();
    qInfo() << "VmRSS before" << start << "kB, after 50 cycles" << end << "kB";
    QVERIFY2(end - start < 10 * 1024, qPrintable(QStringLiteral("%1 kB more").arg(end - start)));
}

QTEST_MAIN(tst_DocList)
#include "tst_doclist.moc"
