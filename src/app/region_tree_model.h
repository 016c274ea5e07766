#pragma once
// The tree view's model over the parse result: no item objects, so hundreds of thousands of regions cost only
// the rows the view shows.

#include "image/regions.h"

#include <QAbstractItemModel>

#include <memory>

namespace zelmar {

class RegionTreeModel : public QAbstractItemModel {
public:
    static constexpr int keyRole = Qt::UserRole + 1; // "P" + region id

    explicit RegionTreeModel(QObject* parent = nullptr);

    void setAnalysis(std::shared_ptr<const RegionAnalysis> analysis);

    // Node index in the tree, -1 for an invalid index.
    std::int32_t nodeOf(const QModelIndex& index) const;
    QModelIndex indexOfNode(std::int32_t node) const;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    const RegionTree& tree() const { return analysis_->tree; }

    std::shared_ptr<const RegionAnalysis> analysis_;
};

} // namespace zelmar
