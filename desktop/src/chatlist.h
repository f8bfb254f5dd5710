#ifndef CHATLIST_H
#define CHATLIST_H

#include <tessellum/chunk.h>

#include <QAbstractListModel>
#include <QList>
#include <QPointer>

class Message;

// The messages of a conversation in order of appending. The list does not own its messages (their
// parent is the user), except that removing a row deletes its message.
class ChatList : public QAbstractListModel
{
    Q_OBJECT
    Q_PROPERTY(int count READ count NOTIFY countChanged FINAL)

public:
    enum Roles {
        UserIDRole = Qt::UserRole + 1,
        TimeRole,
        ContentsRole,
        AppendContentsRole,
        SourcesRole,
        LoadingRole,
    };

    explicit ChatList(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    bool removeRows(int row, int count, const QModelIndex &parent = QModelIndex()) override;
    QHash<int, QByteArray> roleNames() const override;

    int count() const;
    Q_INVOKABLE Message *at(int index) const;

    // Returns the new row.
    int appendMessage(Message *message);
    // Each returns false, changing nothing, for a row outside the list.
    bool appendToMessage(int row, const QString &text);
    bool setMessageContents(int row, const QString &text);
    bool setMessageSources(int row, const QList<Chunk> &sources);
    bool setMessageLoading(int row, bool loading);
    bool removeMessage(int row);
    bool messageHasContents(int row) const;

public slots:
    void refClicked(int msgIndex, int refIndex);

signals:
    void countChanged();
    void highlightRef(Chunk chk);

private:
    bool isListedIndex(const QModelIndex &index) const;

    QList<QPointer<Message>> m_messages;
};

#endif // CHATLIST_H
