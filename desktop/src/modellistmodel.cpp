#include "modellistmodel.h"

ModelListModel::ModelListModel(QObject *parent)
    : QAbstractListModel(parent)
{ }

int ModelListModel::rowCount(const QModelIndex &) const
{
    return int(m_models.size());
}

QVariant ModelListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || !isRow(index.row()))
        return {};
    const ModelInfo &model = m_models.at(index.row());
    switch (role) {
    case NameRole:
        return model.name;
    case DisplayNameRole:
        return model.displayName;
    case TypeRole:
        return model.type;
    case StateRole:
        return model.state;
    case BytesReceivedRole:
        return qlonglong(model.bytesReceived);
    case ExpectedSizeRole:
        return qlonglong(model.expectedSize);
    case ProgressRole:
        // Not clamped: a file larger than announced shows as more than complete.
        return model.expectedSize < 1 ? 0.0 : double(model.bytesReceived) / model.expectedSize;
    case FailureRole:
        return model.failure;
    default:
        return {};
    }
}

QHash<int, QByteArray> ModelListModel::roleNames() const
{
    return {
        { NameRole, "name" },
        { DisplayNameRole, "displayName" },
        { TypeRole, "type" },
        { StateRole, "state" },
        { BytesReceivedRole, "bytesReceived" },
        { ExpectedSizeRole, "expectedSize" },
        { ProgressRole, "progress" },
        { FailureRole, "failure" },
    };
}

void ModelListModel::setModels(const QList<ModelInfo> &models)
{
    beginResetModel();
    m_models = models;
    endResetModel();
}

void ModelListModel::setModel(int row, const ModelInfo &model)
{
    if (!isRow(row))
        return;
    m_models[row] = model;
    emit dataChanged(index(row), index(row));
}

void ModelListModel::setBytesReceived(int row, qint64 bytes)
{
    if (!isRow(row))
        return;
    m_models[row].bytesReceived = bytes;
    emit dataChanged(index(row), index(row), { BytesReceivedRole, ProgressRole });
}

int ModelListModel::indexOf(const QString &name) const
{
    for (int row = 0; row < m_models.size(); ++row) {
        if (m_models.at(row).name == name)
            return row;
    }
    return -1;
}

const QList<ModelInfo> &ModelListModel::models() const
{
    return m_models;
}

bool ModelListModel::isRow(int row) const
{
    return row >= 0 && row < m_models.size();
}
