#ifndef MESSAGE_H
#define MESSAGE_H

#include <tessellum/chunk.h>

#include <QList>
#include <QObject>
#include <QString>
#include <QVariantList>

// One bubble of the conversation: a question of the user or an answer of the assistant, with the
// references an answer was built from.
class Message : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString contents READ contents WRITE setContents NOTIFY contentsChanged)
    Q_PROPERTY(QString time READ time CONSTANT)
    Q_PROPERTY(int userID READ userID CONSTANT)
    Q_PROPERTY(bool loading READ loading WRITE setLoading NOTIFY loadingChanged)

public:
    Message(const QString &contents, int userID, const QList<Chunk> &sources,
        QObject *parent = nullptr);
    Message(const QString &contents, int userID, QObject *parent = nullptr);

    QString contents() const;
    void setContents(const QString &text);
    void appendContents(const QString &text);

    QString time() const;
    int userID() const;

    bool loading() const;
    void setLoading(bool loading);

    QList<Chunk> sources() const;
    // Each element becomes a Chunk; one that cannot be converted becomes an empty Chunk.
    void appendSources(const QVariantList &list);
    // Null when i is outside the references.
    const Chunk *sourceAt(int i) const;
    // What QML sees of the references: {"id": n} for n = 1 .. number of references.
    QVariantList sourceEntries() const;

signals:
    void contentsChanged(QString cont);
    void loadingChanged();

private:
    QString m_contents;
    QString m_time;
    int m_userID;
    QList<Chunk> m_sources;
    bool m_loading = false;
};

#endif // MESSAGE_H
