#ifndef USER_H
#define USER_H

#include "chatlist.h"

#include <tessellum/chunk.h>

#include <QList>
#include <QObject>
#include <QString>

class Message;

// A participant of the chat with its own message list.
class User : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int ID READ ID CONSTANT)
    Q_PROPERTY(QString name READ name CONSTANT)
    Q_PROPERTY(QString lastName READ lastName CONSTANT)
    Q_PROPERTY(QString imageURL READ imageURL WRITE setImageURL NOTIFY imageURLChanged)
    Q_PROPERTY(bool isOnline READ isOnline WRITE setIsOnline NOTIFY isOnlineChanged)
    Q_PROPERTY(ChatList *messages READ messages CONSTANT FINAL)

public:
    // An empty imageURL selects the default avatar.
    User(int id, const QString &name, const QString &lastName, const QString &imageURL,
        QObject *parent = nullptr);

    int ID() const;
    QString name() const;
    QString lastName() const;

    QString imageURL() const;
    void setImageURL(const QString &imageURL);

    bool isOnline() const;
    void setIsOnline(bool isOnline);

    ChatList *messages() const;

    int appendMessage(Message *message);
    bool appendToMessage(int row, const QString &text);
    bool setMessageContents(int row, const QString &text);
    bool setMessageSources(int row, const QList<Chunk> &sources);
    bool setMessageLoading(int row, bool loading);
    bool removeMessage(int row);
    bool messageHasContents(int row) const;

signals:
    void imageURLChanged();
    void isOnlineChanged();
    void highlightRef(Chunk chk);

private:
    int m_id;
    QString m_name;
    QString m_lastName;
    QString m_imageURL;
    ChatList *m_messages;
    bool m_isOnline = false;
};

#endif // USER_H
