#include "chatlist.h"

#include "message.h"

ChatList::ChatList(QObject *parent)
    : QAbstractListModel(parent)
{ }

int ChatList::rowCount(const QModelIndex &) const
{
    return int(m_messages.size());
}

bool ChatList::isListedIndex(const QModelIndex &index) const
{
    return index.model() == this && index.row() >= 0 && index.column() >= 0
        && index.row() < m_messages.size();
}

QVariant ChatList::data(const QModelIndex &index, int role) const
{
    if (!isListedIndex(index))
        return {};
    Message *message = m_messages.at(index.row());
    if (!message)
        return {};
    switch (role) {
    case Qt::DisplayRole:
    case Qt::UserRole:
        return QVariant::fromValue(message);
    case UserIDRole:
        return message->userID();
    case TimeRole:
        return message->time();
    case ContentsRole:
        return message->contents();
    case SourcesRole:
        return message->sourceEntries();
    case LoadingRole:
        return message->loading();
    default:
        return {};
    }
}

bool ChatList::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (!isListedIndex(index))
        return false;
    Message *message = m_messages.at(index.row());
    if (!message)
        return false;
    QList<int> roles { role };
    switch (role) {
    case ContentsRole:
        message->setContents(value.toString());
        break;
    case AppendContentsRole:
        message->appendContents(value.toString());
        roles = { ContentsRole, AppendContentsRole };
        break;
    case SourcesRole:
        message->appendSources(value.toList());
        break;
    case LoadingRole:
        message->setLoading(value.toBool());
        break;
    default:
        return false;
    }
    emit dataChanged(index, index, roles);
    return true;
}

bool ChatList::removeRows(int row, int count, const QModelIndex &parent)
{
    // A list has no children, and an empty range has nothing to announce to the views.
    if (parent.isValid() || row < 0 || count < 1 || row + count > m_messages.size())
        return false;
    beginRemoveRows(parent, row, row + count - 1);
    QList<QPointer<Message>> removed = m_messages.mid(row, count);
    m_messages.remove(row, count);
    endRemoveRows();
    for (const QPointer<Message> &message : removed)
        delete message.data();
    return true;
}

QHash<int, QByteArray> ChatList::roleNames() const
{
    return {
        { UserIDRole, "userID" },
        { TimeRole, "time" },
        { ContentsRole, "contents" },
        { SourcesRole, "sources" },
        { LoadingRole, "loading" },
    };
}

int ChatList::count() const
{
    return int(m_messages.size());
}

Message *ChatList::at(int index) const
{
    if (index < 0 || index >= m_messages.size())
        return nullptr;
    return m_messages.at(index);
}

int ChatList::appendMessage(Message *message)
{
    if (!message)
        return -1;
    const int row = int(m_messages.size());
    beginInsertRows(QModelIndex(), row, row);
    m_messages.append(message);
    endInsertRows();
    emit countChanged();
    return row;
}

bool ChatList::appendToMessage(int row, const QString &text)
{
    return setData(index(row, 0), text, AppendContentsRole);
}

bool ChatList::setMessageContents(int row, const QString &text)
{
    return setData(index(row, 0), text, ContentsRole);
}

bool ChatList::setMessageSources(int row, const QList<Chunk> &sources)
{
    if (sources.isEmpty())
        return false;
    QVariantList wrapped;
    wrapped.reserve(sources.size());
    for (const Chunk &chunk : sources)
        wrapped.append(QVariant::fromValue(chunk));
    return setData(index(row, 0), wrapped, SourcesRole);
}

bool ChatList::setMessageLoading(int row, bool loading)
{
    return setData(index(row, 0), loading, LoadingRole);
}

bool ChatList::removeMessage(int row)
{
    return removeRow(row, QModelIndex());
}

bool ChatList::messageHasContents(int row) const
{
    return !data(index(row, 0), ContentsRole).toString().isEmpty();
}

void ChatList::refClicked(int msgIndex, int refIndex)
{
    const Message *message = at(msgIndex);
    if (!message)
        return;
    if (const Chunk *chunk = message->sourceAt(refIndex))
        emit highlightRef(*chunk);
}
