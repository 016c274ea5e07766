#include "region_tree_model.h"

namespace zelmar {

RegionTreeModel::RegionTreeModel(QObject* parent)
    : QAbstractItemModel(parent), analysis_(std::make_shared<const RegionAnalysis>()) {}

void RegionTreeModel::setAnalysis(std::shared_ptr<const RegionAnalysis> analysis) {
    beginResetModel();
    analysis_ = std::move(analysis);
    endResetModel();
}

std::int32_t RegionTreeModel::nodeOf(const QModelIndex& index) const {
    return index.isValid() ? static_cast<std::int32_t>(index.internalId()) : -1;
}

QModelIndex RegionTreeModel::indexOfNode(std::int32_t node) const {
    if (node < 0 || static_cast<std::size_t>(node) >= tree().nodes.size())
        return {};
    const int row = node == 0 ? 0 : tree().rowInParent[static_cast<std::size_t>(node)];
    return createIndex(row, 0, static_cast<quintptr>(node));
}

QModelIndex RegionTreeModel::index(int row, int column, const QModelIndex& parent) const {
    if (column != 0 || row < 0 || row >= rowCount(parent))
        return {};
    if (!parent.isValid())
        return createIndex(row, 0, quintptr{0}); // the root is the only top-level node
    const auto p = static_cast<std::size_t>(parent.internalId());
    const std::int32_t child = tree().childNodes[static_cast<std::size_t>(tree().childOffsets[p] + row)];
    return createIndex(row, 0, static_cast<quintptr>(child));
}

QModelIndex RegionTreeModel::parent(const QModelIndex& child) const {
    if (!child.isValid())
        return {};
    return indexOfNode(tree().nodes[static_cast<std::size_t>(child.internalId())].parentNode);
}

int RegionTreeModel::rowCount(const QModelIndex& parent) const {
    if (!parent.isValid())
        return tree().nodes.empty() ? 0 : 1;
    if (parent.column() != 0)
        return 0;
    const auto p = static_cast<std::size_t>(parent.internalId());
    return tree().childOffsets[p + 1] - tree().childOffsets[p];
}

int RegionTreeModel::columnCount(const QModelIndex&) const {
    return 1;
}

QVariant RegionTreeModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid())
        return {};
    const std::int32_t id = tree().nodes[static_cast<std::size_t>(index.internalId())].regionId;
    if (role == Qt::DisplayRole)
        return QString::number(id);
    if (role == keyRole)
        return QString::fromStdString(nodeKey(id));
    return {};
}

} // namespace zelmar
