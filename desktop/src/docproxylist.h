#ifndef DOCPROXYLIST_H
#define DOCPROXYLIST_H

#include <QSortFilterProxyModel>

class Doc;

// The model of the QML document list. It neither filters nor sorts, so the row numbers QML
// passes back are rows of the document list itself.
class DocProxyList : public QSortFilterProxyModel
{
    Q_OBJECT
    Q_PROPERTY(int count READ count NOTIFY countChanged)

public:
    explicit DocProxyList(QObject *parent = nullptr);

    int count() const;
    Q_INVOKABLE Doc *get(int index) const;

signals:
    void countChanged();
};

#endif // DOCPROXYLIST_H
