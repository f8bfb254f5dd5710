#include "user.h"

User::User(
    int id, const QString &name, const QString &lastName, const QString &imageURL, QObject *parent)
    : QObject(parent)
    , m_id(id)
    , m_name(name)
    , m_lastName(lastName)
    , m_imageURL(imageURL.isEmpty() ? QStringLiteral("qrc:/Media/Images/avatar.jpg") : imageURL)
    , m_messages(new ChatList(this))
{
    connect(m_messages, &ChatList::highlightRef, this, &User::highlightRef);
}

int User::ID() const
{
    return m_id;
}

QString User::name() const
{
    return m_name;
}

QString User::lastName() const
{
    return m_lastName;
}

QString User::imageURL() const
{
    return m_imageURL;
}

void User::setImageURL(const QString &imageURL)
{
    if (imageURL == m_imageURL)
        return;
    m_imageURL = imageURL;
    emit imageURLChanged();
}

bool User::isOnline() const
{
    return m_isOnline;
}

void User::setIsOnline(bool isOnline)
{
    if (isOnline == m_isOnline)
        return;
    m_isOnline = isOnline;
    emit isOnlineChanged();
}

ChatList *User::messages() const
{
    return m_messages;
}

int User::appendMessage(Message *message)
{
    return m_messages->appendMessage(message);
}

bool User::appendToMessage(int row, const QString &text)
{
    return m_messages->appendToMessage(row, text);
}

bool User::setMessageContents(int row, const QString &text)
{
    return m_messages->setMessageContents(row, text);
}

bool User::setMessageSources(int row, const QList<Chunk> &sources)
{
    return m_messages->setMessageSources(row, sources);
}

bool User::setMessageLoading(int row, bool loading)
{
    return m_messages->setMessageLoading(row, loading);
}

bool User::removeMessage(int row)
{
    return m_messages->removeMessage(row);
}

bool User::messageHasContents(int row) const
{
    return m_messages->messageHasContents(row);
}
