#include "combinedsearchmodel.h"

#include "doc.h"
#include "doclist.h"
#include "timeslicedsearchmodel.h"

#include <QFileInfo>
#include <QPdfSearchModel>
#include <QUrl>

CombinedSearchModel::CombinedSearchModel(QObject *parent)
    : QAbstractItemModel(parent)
    , m_root(std::make_unique<SearchItem>())
{ }

CombinedSearchModel::~CombinedSearchModel() = default;

CombinedSearchModel::SearchItem *CombinedSearchModel::itemAt(const QModelIndex &index) const
{
    return index.isValid() ? static_cast<SearchItem *>(index.internalPointer()) : m_root.get();
}

QModelIndex CombinedSearchModel::index(int row, int column, const QModelIndex &parent) const
{
    if (!hasIndex(row, column, parent))
        return {};
    SearchItem *parentItem = itemAt(parent);
    if (row >= int(parentItem->children.size()))
        return {};
    return createIndex(row, column, parentItem->children[size_t(row)].get());
}

QModelIndex CombinedSearchModel::parent(const QModelIndex &index) const
{
    if (!index.isValid())
        return {};
    SearchItem *item = itemAt(index);
    // File items hang in the root; only hits have a parent index.
    if (!item->parent)
        return {};
    SearchItem *fileItem = item->parent;
    for (size_t row = 0; row < m_root->children.size(); ++row) {
        if (m_root->children[row].get() == fileItem)
            return createIndex(int(row), 0, fileItem);
    }
    return {};
}

int CombinedSearchModel::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid() && parent.column() != 0)
        return 0;
    return int(itemAt(parent)->children.size());
}

int CombinedSearchModel::columnCount(const QModelIndex &) const
{
    return 1;
}

QVariant CombinedSearchModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return {};
    const SearchItem *item = itemAt(index);
    const bool isHit = item->parent != nullptr;
    switch (role) {
    case Qt::DisplayRole:
    case FilePathRole:
        return isHit ? QString() : item->filePath;
    case FileNameRole: {
        if (isHit)
            return QString();
        const QUrl url(item->filePath);
        return url.isLocalFile() ? QFileInfo(url.toLocalFile()).fileName() : item->filePath;
    }
    case PageNumberRole:
        return isHit ? item->pageNumber : -1;
    case SearchStringRole:
        return isHit ? item->searchString : QString();
    case ContextBeforeRole:
        return isHit ? item->contextBefore : QString();
    case ContextAfterRole:
        return isHit ? item->contextAfter : QString();
    case IsResultRole:
        return parent(index).isValid();
    default:
        return {};
    }
}

QHash<int, QByteArray> CombinedSearchModel::roleNames() const
{
    return {
        { FilePathRole, "filePath" },
        { FileNameRole, "fileName" },
        { PageNumberRole, "pageNumber" },
        { SearchStringRole, "searchString" },
        { ContextBeforeRole, "contextBefore" },
        { ContextAfterRole, "contextAfter" },
        { IsResultRole, "isResult" },
    };
}

int CombinedSearchModel::rootItems() const
{
    return rowCount();
}

QModelIndex CombinedSearchModel::indexAtExpandedRow(int row) const
{
    if (row < 0)
        return {};
    // Every file item followed by all its hits, whatever a view shows collapsed.
    int visited = 0;
    for (int fileRow = 0; fileRow < rowCount(); ++fileRow) {
        const QModelIndex fileIndex = index(fileRow, 0);
        if (row == visited)
            return fileIndex;
        ++visited;
        const int hits = rowCount(fileIndex);
        if (row < visited + hits)
            return index(row - visited, 0, fileIndex);
        visited += hits;
    }
    return {};
}

void CombinedSearchModel::itemClicked(int row)
{
    const QModelIndex clicked = indexAtExpandedRow(row);
    if (!clicked.isValid())
        return;
    const QModelIndex fileIndex = clicked.parent().isValid() ? clicked.parent() : clicked;
    const QString fileName = data(fileIndex, FileNameRole).toString();
    const SearchItem *item = itemAt(clicked);
    emit searchItemClicked(item->searchModel, fileName, item->searchIndex);
}

bool CombinedSearchModel::itemIsTopLevel(int row) const
{
    const QModelIndex item = indexAtExpandedRow(row);
    return !item.isValid() || !item.parent().isValid();
}

void CombinedSearchModel::onPdfSearchResultsAdded(Doc *doc, QModelIndex parent, int first, int last)
{
    if (!doc || first > last || !isListed(doc))
        return;
    const QString path = doc->path();
    QPdfSearchModel *searchModel = doc->pdfSearchModel();
    if (!searchModel)
        return;

    QModelIndex fileIndex;
    for (int row = 0; row < rowCount(); ++row) {
        const QModelIndex candidate = index(row, 0);
        if (data(candidate, FilePathRole) == QVariant(path)) {
            fileIndex = candidate;
            break;
        }
    }
    if (!fileIndex.isValid()) {
        auto fileItem = std::make_unique<SearchItem>();
        fileItem->filePath = path;
        fileItem->searchModel = searchModel;
        const int n = rowCount();
        beginInsertRows(QModelIndex(), n, n);
        m_root->children.push_back(std::move(fileItem));
        endInsertRows();
        fileIndex = index(n, 0);
    }
    if (!fileIndex.isValid())
        return;

    SearchItem *fileItem = itemAt(fileIndex);
    const int m = int(fileItem->children.size());
    beginInsertRows(fileIndex, m, m + (last - first));
    for (int i = first; i <= last; ++i) {
        const QModelIndex hitIndex = searchModel->index(i, 0, parent);
        auto hit = std::make_unique<SearchItem>();
        hit->parent = fileItem;
        hit->pageNumber = hitIndex.data(int(QPdfSearchModel::Role::Page)).toInt();
        hit->searchString = m_searchString;
        hit->contextBefore = hitIndex.data(int(QPdfSearchModel::Role::ContextBefore)).toString();
        hit->contextAfter = hitIndex.data(int(QPdfSearchModel::Role::ContextAfter)).toString();
        hit->searchModel = searchModel;
        hit->searchIndex = i;
        fileItem->children.push_back(std::move(hit));
    }
    // The insertion tells the views all they need. No layout change: the tree view would lay
    // out every row again for each batch, so a search cost more the more hits it had listed.
    endInsertRows();
}

void CombinedSearchModel::onSearchStringChanged(QString searchString)
{
    m_searchString = searchString;
    beginResetModel();
    m_root = std::make_unique<SearchItem>();
    endResetModel();
}

void CombinedSearchModel::onDocDeleted(QString path)
{
    stopSearchesOfRemoved(&path);
    for (size_t row = 0; row < m_root->children.size(); ++row) {
        if (m_root->children[row]->filePath != path)
            continue;
        beginRemoveRows(QModelIndex(), int(row), int(row));
        m_root->children.erase(m_root->children.begin() + std::ptrdiff_t(row));
        endRemoveRows();
        return;
    }
}

void CombinedSearchModel::onDocsDeleted()
{
    stopSearchesOfRemoved(nullptr);
    const int n = rowCount();
    if (n == 0)
        return;
    beginRemoveRows(QModelIndex(), 0, n - 1);
    m_root->children.clear();
    endRemoveRows();
}

bool CombinedSearchModel::isRowOfItsList(Doc *doc)
{
    auto *list = qobject_cast<DocList *>(doc->parent());
    if (!list)
        return false;
    for (int row = 0; row < list->rowCount(); ++row) {
        if (list->data(list->index(row), DocList::DocObjectRole).value<Doc *>() == doc)
            return true;
    }
    return false;
}

bool CombinedSearchModel::isListed(Doc *doc)
{
    // A document that has left its list may still report a page searched before its search
    // stopped; its hits must not come back into the tree.
    return !qobject_cast<DocList *>(doc->parent()) || isRowOfItsList(doc);
}

Doc *CombinedSearchModel::docOf(QPdfSearchModel *model)
{
    // The search model hangs under its document, or beside it under the document list.
    if (auto *doc = qobject_cast<Doc *>(model->parent()))
        return doc;
    if (!model->parent())
        return nullptr;
    const QList<Doc *> docs = model->parent()->findChildren<Doc *>(Qt::FindDirectChildrenOnly);
    for (Doc *doc : docs) {
        if (doc->pdfSearchModel() == model)
            return doc;
    }
    return nullptr;
}

void CombinedSearchModel::stopSearchesOfRemoved(const QString *path)
{
    // Also the documents that have found nothing yet: they have no file item, and their first
    // hit would bring one back.
    const QList<TimeSlicedSearchModel *> searching = TimeSlicedSearchModel::searchingModels();
    for (TimeSlicedSearchModel *model : searching) {
        Doc *doc = docOf(model);
        if (!doc || isRowOfItsList(doc) || (path && doc->path() != *path))
            continue;
        model->stopSearching();
    }
}
