#include "docproxylist.h"

#include "doc.h"
#include "doclist.h"

DocProxyList::DocProxyList(QObject *parent)
    : QSortFilterProxyModel(parent)
{
    setFilterRole(DocList::DocNameRole);
    setSortRole(DocList::DocNameRole);
    setFilterCaseSensitivity(Qt::CaseInsensitive);
    // QML bindings on count must follow the rows as they come and go.
    connect(this, &QAbstractItemModel::rowsInserted, this, &DocProxyList::countChanged);
    connect(this, &QAbstractItemModel::rowsRemoved, this, &DocProxyList::countChanged);
    connect(this, &QAbstractItemModel::modelReset, this, &DocProxyList::countChanged);
}

int DocProxyList::count() const
{
    return rowCount();
}

Doc *DocProxyList::get(int index) const
{
    if (index < 0 || index >= count())
        return nullptr;
    const QModelIndex source = mapToSource(this->index(index, 0));
    return sourceModel()->data(source, DocList::DocObjectRole).value<Doc *>();
}
