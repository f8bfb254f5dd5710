#ifndef MODELLISTMODEL_H
#define MODELLISTMODEL_H

#include <QAbstractListModel>
#include <QList>
#include <QString>

// One downloadable model: where it comes from, what its file is called in the model folder, how
// large it is, and how far its download has come.
struct ModelInfo
{
    QString name;
    QString displayName;
    QString url;
    QString fileName;
    qint64 expectedSize = 0; // 0 or less: unknown
    QString type; // "generation" or "retrieval"
    int state = 0; // a ModelListModel::ModelState
    qint64 bytesReceived = 0;
    // Why the download stopped, in the error's words, while the row is paused because of it.
    QString failure;
};

// The model catalogue as the download view shows it. The downloader is its only writer; QML also
// uses the class for its enumerations.
class ModelListModel : public QAbstractListModel
{
    Q_OBJECT

public:
    enum ModelState {
        NotDownloaded = 0,
        Queued = 1,
        Downloading = 2,
        Paused = 3,
        Downloaded = 4,
    };
    Q_ENUM(ModelState)

    enum Roles {
        NameRole = Qt::UserRole + 1,
        DisplayNameRole,
        TypeRole,
        StateRole,
        BytesReceivedRole,
        ExpectedSizeRole,
        ProgressRole,
        FailureRole,
    };
    Q_ENUM(Roles)

    explicit ModelListModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    void setModels(const QList<ModelInfo> &models);
    void setModel(int row, const ModelInfo &model);
    // A progress step: announces only the byte count and the progress.
    void setBytesReceived(int row, qint64 bytes);
    int indexOf(const QString &name) const;
    const QList<ModelInfo> &models() const;

private:
    bool isRow(int row) const;

    QList<ModelInfo> m_models;
};

#endif // MODELLISTMODEL_H
