// The region tree in a real tree view: model reset, every node expanded, the first paint. Run under
// QT_QPA_PLATFORM=offscreen (or on a display). One JSON line per tree size.
//
//   zelmar-bench-tree-view

#include "app/region_tree_model.h"
#include "bench_images.h"
#include "image/regions.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTreeView>

#include <cstdio>
#include <memory>

using namespace zelmar;

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    for (int size : {512, 1024, 2048, -6001}) {
        // Noise gives wide, shallow trees; rings (negative size) a chain 3000 levels deep.
        const ImageLayer noise = size > 0 ? bench::noiseImage(size, size) : bench::ringsImage(-size);
        auto analysis =
            std::make_shared<const RegionAnalysis>(parseRegions(noise.geometry(), noise.bits().data()));

        QTreeView view;
        view.setHeaderHidden(true);
        view.setUniformRowHeights(true);
        view.resize(244, 205);
        RegionTreeModel model;
        view.setModel(&model);
        view.show();
        app.processEvents();

        QElapsedTimer timer;
        timer.start();
        model.setAnalysis(analysis);
        view.expandAll();
        view.repaint();
        app.processEvents();
        const qint64 shown = timer.elapsed();
        // Scrolling to the last node: the view must find it without walking item objects.
        timer.restart();
        view.scrollToBottom();
        view.repaint();
        app.processEvents();
        std::printf("{\"bench\":\"tree_view\",\"image\":\"%s\",\"nodes\":%zu,\"show_expanded_ms\":%lld,"
                    "\"scroll_to_end_ms\":%lld}\n",
                    size > 0 ? "noise" : "rings", analysis->tree.nodes.size(), static_cast<long long>(shown),
                    static_cast<long long>(timer.elapsed()));
        std::fflush(stdout);
    }
    return 0;
}
