#ifndef COMBINEDSEARCHMODEL_H
#define COMBINEDSEARCHMODEL_H

#include <QAbstractItemModel>
#include <QList>
#include <QPointer>
#include <QString>

#include <memory>
#include <vector>

class Doc;
class QPdfSearchModel;

// The hits of the search in every listed document as one tree: a file item per document with
// hits, under it one item per hit with its page and the text around it. The documents' own search
// models do the searching; this model copies the batches of hits they report.
class CombinedSearchModel : public QAbstractItemModel
{
    Q_OBJECT
    Q_PROPERTY(int RootItems READ rootItems CONSTANT)

public:
    enum Roles {
        FilePathRole = Qt::UserRole + 1,
        FileNameRole,
        PageNumberRole,
        SearchStringRole,
        ContextBeforeRole,
        ContextAfterRole,
        IsResultRole,
    };
    Q_ENUM(Roles)

    explicit CombinedSearchModel(QObject *parent = nullptr);
    ~CombinedSearchModel() override;

    QModelIndex index(
        int row, int column, const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex &index) const override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    int rootItems() const;

    // Rows count the tree with every file item expanded: a file item, then its hits, then the
    // next file item.
    Q_INVOKABLE void itemClicked(int row);
    Q_INVOKABLE bool itemIsTopLevel(int row) const;

signals:
    void searchItemClicked(QPdfSearchModel *model, QString fileName, int searchIndex);

public slots:
    void onPdfSearchResultsAdded(Doc *doc, QModelIndex parent, int first, int last);
    void onSearchStringChanged(QString searchString);
    void onDocDeleted(QString path);
    void onDocsDeleted();

private:
    struct SearchItem
    {
        SearchItem *parent = nullptr;
        std::vector<std::unique_ptr<SearchItem>> children;
        QString filePath;
        int pageNumber = -1;
        QString searchString;
        QString contextBefore;
        QString contextAfter;
        // The document's, which may go before the tree lets go of it.
        QPointer<QPdfSearchModel> searchModel;
        int searchIndex = -1;
    };

    SearchItem *itemAt(const QModelIndex &index) const;
    QModelIndex indexAtExpandedRow(int row) const;
    // True for a row of the document list that is the document's parent.
    static bool isRowOfItsList(Doc *doc);
    // True unless the document has a document list for a parent and is none of its rows.
    static bool isListed(Doc *doc);
    static Doc *docOf(QPdfSearchModel *model);
    // Stops the search of every document that is no row of its list, of those with this path
    // when one is given.
    static void stopSearchesOfRemoved(const QString *path);

    std::unique_ptr<SearchItem> m_root;
    QString m_searchString;
};

#endif // COMBINEDSEARCHMODEL_H
