#include "literal_milling.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace zelmar::reference {

namespace {

// Bounds-checked everywhere: a slip in the transcription should throw, not read a neighbour's memory.
std::uint8_t& byteAt(std::vector<std::uint8_t>& buffer, std::int64_t index) {
    return buffer.at(static_cast<std::size_t>(index));
}

// Cells outside the image never belong to the region: the frame row and column included.
std::int32_t labelAt(const MillingState& s, std::int32_t x, std::int32_t y) {
    if (x < 1 || y < 1 || x > s.bmWidth || y > s.bmHeight)
        return 0;
    return s.labelMap.at(static_cast<std::size_t>(x)).at(static_cast<std::size_t>(y));
}

bool isRegionCell(const MillingState& s, std::int32_t x, std::int32_t y, std::int32_t regionId) {
    if (x < 1 || y < 1 || x > s.bmWidth || y > s.bmHeight)
        return false;
    return labelAt(s, x, y) == regionId;
}

MillRecord& recordOf(MillingState& s, std::int32_t id) {
    return s.regionTable.at(static_cast<std::size_t>(id));
}

const MillLink& linkOf(const MillingState& s, std::int32_t i) {
    return s.linkTable.at(static_cast<std::size_t>(i));
}

std::int32_t regionTableUpper(const MillingState& s) {
    return static_cast<std::int32_t>(s.regionTable.size()) - 1;
}

std::int32_t linkTableUpper(const MillingState& s) {
    return static_cast<std::int32_t>(s.linkTable.size()) - 1;
}

// bmBitsPixel / 8 rounded to the nearest integer, a half to the even one.
std::int32_t bytesPerPixelOf(std::int32_t bits) {
    std::int32_t whole = bits / 8;
    const std::int32_t rest = bits % 8;
    if (rest > 4 || (rest == 4 && whole % 2 == 1))
        whole += 1;
    return whole;
}

struct Layout {
    std::int32_t bytesPerPixel = 0;
    std::int32_t stride = 0;

    std::int64_t indexOf(std::int32_t x, std::int32_t y) const {
        return std::int64_t{y - 1} * stride + std::int64_t{x - 1} * bytesPerPixel + 1;
    }
};

std::int32_t cutDepth(const MillingState& s, const Layout& layout, std::vector<std::uint8_t>& snapshot,
                      std::int32_t x, std::int32_t y) {
    if (x < 1 || y < 1 || x > s.bmWidth || y > s.bmHeight)
        return 0;
    const std::int32_t b = byteAt(snapshot, layout.indexOf(x, y));
    return (255 - b) / 10;
}

bool check1Ticked(MillingState& s) {
    return !s.check1 || s.check1();
}

// With the wait for "OK"; sends nothing while "Фрезеровать" is unticked.
void SendMove(MillingState& s, std::int32_t x, std::int32_t y, std::int32_t z) {
    if (check1Ticked(s))
        s.sendMoves.push_back({x, y, z});
}

// Level moves, plunges and lifts always go to SendMove.
void moveTool(MillingState& s, std::int32_t x, std::int32_t y, std::int32_t z) {
    s.moves.push_back({x, y, z});
    SendMove(s, x, y, z);
}

// The working buffer, indexed from 1, goes back into the mill layer whole.
void writeBack(MillingState& s, const std::vector<std::uint8_t>& buffer) {
    if (buffer.size() < s.millLayer.size() + 1)
        throw std::out_of_range("the working buffer is shorter than the mill layer");
    std::copy_n(buffer.begin() + 1, s.millLayer.size(), s.millLayer.begin());
}

struct EndState {
    std::int32_t toolX, toolY, dirX, dirY;
};

} // namespace

void TurnClockwise(std::int32_t& dirX, std::int32_t& dirY) {
    if (dirX == 1 && dirY == 0) { // E to SE
        dirX = 1;
        dirY = 1;
    } else if (dirX == 1 && dirY == 1) { // SE to S
        dirX = 0;
        dirY = 1;
    } else if (dirX == 0 && dirY == 1) { // S to SW
        dirX = -1;
        dirY = 1;
    } else if (dirX == -1 && dirY == 1) { // SW to W
        dirX = -1;
        dirY = 0;
    } else if (dirX == -1 && dirY == 0) { // W to NW
        dirX = -1;
        dirY = -1;
    } else if (dirX == -1 && dirY == -1) { // NW to N
        dirX = 0;
        dirY = -1;
    } else if (dirX == 0 && dirY == -1) { // N to NE
        dirX = 1;
        dirY = -1;
    } else if (dirX == 1 && dirY == -1) { // NE to E
        dirX = 1;
        dirY = 0;
    }
}

void TurnCounterClockwise(std::int32_t& dirX, std::int32_t& dirY) {
    if (dirX == 1 && dirY == 0) { // E to NE
        dirX = 1;
        dirY = -1;
    } else if (dirX == 1 && dirY == -1) { // NE to N
        dirX = 0;
        dirY = -1;
    } else if (dirX == 0 && dirY == -1) { // N to NW
        dirX = -1;
        dirY = -1;
    } else if (dirX == -1 && dirY == -1) { // NW to W
        dirX = -1;
        dirY = 0;
    } else if (dirX == -1 && dirY == 0) { // W to SW
        dirX = -1;
        dirY = 1;
    } else if (dirX == -1 && dirY == 1) { // SW to S
        dirX = 0;
        dirY = 1;
    } else if (dirX == 0 && dirY == 1) { // S to SE
        dirX = 1;
        dirY = 1;
    } else if (dirX == 1 && dirY == 1) { // SE to E
        dirX = 1;
        dirY = 0;
    }
}

void MillRegion(MillingState& s, const std::int32_t& regionId) {
    s.millRegions.push_back(regionId);

    // Entry.
    Layout layout;
    layout.bytesPerPixel = bytesPerPixelOf(s.bmBitsPixel);
    layout.stride = s.bmWidth * layout.bytesPerPixel;
    while (layout.stride % 2 > 0)
        layout.stride += 1;
    const auto size = static_cast<std::size_t>(std::int64_t{layout.stride} * s.bmHeight);
    std::vector<std::uint8_t> buffer(size + 1); // element 0 unused
    for (std::size_t i = 0; i < size; ++i)
        buffer.at(i + 1) = s.millLayer.at(i);
    std::vector<std::uint8_t> snapshot = buffer;
    std::int32_t nextLink = 1;

    for (;;) {
        // The neighbour.
        std::int32_t neighbour = 0;
        const std::int32_t lastLink = std::min(s.linkCount, linkTableUpper(s));
        for (std::int32_t k = nextLink; k <= lastLink; ++k) {
            if (linkOf(s, k).parentId == regionId) {
                neighbour = linkOf(s, k).childId;
                nextLink = k + 1;
                break;
            }
        }

        // The start pixel: for a neighbour contour it needs the row below.
        const std::int32_t lastRow = neighbour != 0 ? s.bmHeight - 1 : s.bmHeight;
        bool found = false;
        std::int32_t startX = 0;
        std::int32_t startY = 0;
        for (std::int32_t y = 1; y <= lastRow && !found; ++y) {
            for (std::int32_t x = 1; x <= s.bmWidth && !found; ++x) {
                if (labelAt(s, x, y) == regionId && (neighbour == 0 || labelAt(s, x, y + 1) == neighbour)) {
                    found = true;
                    startX = x;
                    startY = y;
                }
            }
        }
        if (!found) {
            if (neighbour != 0) {
                s.contoursSkipped += 1;
                continue;
            }
            break;
        }
        const std::int32_t startDepth = cutDepth(s, layout, snapshot, startX, startY);

        // Approach and plunge.
        moveTool(s, startX - s.toolX, startY - s.toolY, 0);
        moveTool(s, 0, 0, -startDepth);
        s.toolX = startX;
        s.toolY = startY;
        s.toolZ = startDepth;

        std::int32_t dirX = neighbour != 0 ? -1 : 1;
        std::int32_t dirY = 0;

        std::vector<EndState> earlier;
        for (;;) {
            TurnCounterClockwise(dirX, dirY);
            std::int32_t turns = 0;
            for (;;) {
                if (isRegionCell(s, s.toolX + dirX, s.toolY + dirY, regionId))
                    break;
                if (turns == 8)
                    break;
                TurnClockwise(dirX, dirY);
                turns += 1;
            }

            s.toolX += dirX;
            s.toolY += dirY;
            const std::int32_t newDepth = cutDepth(s, layout, snapshot, s.toolX, s.toolY);
            const std::int32_t zIncrement = newDepth - s.toolZ;
            s.toolZ = newDepth;

            s.moves.push_back({dirX, dirY, -zIncrement});
            if (check1Ticked(s))
                SendMove(s, dirX, dirY, -zIncrement);
            else
                s.drySteps += 1; // the 1 ms sleep, and nothing sent

            for (std::int32_t y = s.toolY - 1; y <= s.toolY + 1; ++y) {
                for (std::int32_t x = s.toolX - 1; x <= s.toolX + 1; ++x) {
                    if (x < 1 || y < 1 || x > s.bmWidth || y > s.bmHeight)
                        continue;
                    const std::int64_t i = layout.indexOf(x, y);
                    byteAt(buffer, i) = 0;
                    byteAt(buffer, i + 1) = 0;
                    byteAt(buffer, i + 2) = 255;
                }
            }
            writeBack(s, buffer);
            s.stepXs.push_back(s.toolX);
            s.stepYs.push_back(s.toolY);

            if (dirX != 0 && dirY != 0)
                TurnCounterClockwise(dirX, dirY);

            if (s.toolX == startX && s.toolY == startY) {
                s.startRevisits += 1;
                break;
            }
            bool repeated = false;
            for (const EndState& e : earlier)
                if (e.toolX == s.toolX && e.toolY == s.toolY && e.dirX == dirX && e.dirY == dirY)
                    repeated = true;
            if (repeated) {
                s.loopGuardStops += 1;
                break;
            }
            earlier.push_back({s.toolX, s.toolY, dirX, dirY});
        }

        // Lift by the current depth; toolZ keeps its value.
        moveTool(s, 0, 0, s.toolZ);
        s.contoursCut += 1;

        if (neighbour == 0)
            break;
    }
    writeBack(s, buffer);
}

std::string noTreeText() {
    return "Изображение не загружено или не разобрано.\r\n"
           "Если изображение загружено, нажмите кнопку 'Разобрать'.\r\n"
           "Необходимо, чтобы программа построила дерево вложения фигур.";
}

std::string noSelectionText() {
    return "Не выбрана фигура.\r\nВыберите фигуру в дереве.";
}

std::optional<std::string> MillSelected(MillingState& state, std::int32_t treeNodeCount,
                                        const std::optional<std::string>& selectedKey) {
    if (treeNodeCount == 0)
        return noTreeText();
    if (!selectedKey)
        return noSelectionText();
    const std::int32_t regionId =
        static_cast<std::int32_t>(std::strtol(selectedKey->substr(1).c_str(), nullptr, 10));
    state.toolX = 1;
    state.toolY = 1;
    MillRegion(state, regionId);
    return std::nullopt;
}

std::optional<std::string> MillAll(MillingState& state, std::int32_t treeNodeCount) {
    if (treeNodeCount == 0)
        return noTreeText();
    std::int32_t deepest = 0;
    for (std::int32_t i = 1; i <= regionTableUpper(state); ++i) {
        const MillRecord& r = recordOf(state, i);
        if (r.state > 0 && !r.isLight && r.depth > deepest)
            deepest = r.depth;
    }
    for (std::int32_t level = deepest; level >= 0; --level) {
        for (std::int32_t y = 1; y <= state.bmHeight; ++y) {
            for (std::int32_t x = 1; x <= state.bmWidth; ++x) {
                const std::int32_t r = labelAt(state, x, y);
                if (r < 1 || r > regionTableUpper(state))
                    continue; // not live
                if (recordOf(state, r).state > 0 && recordOf(state, r).state < 4 &&
                    !recordOf(state, r).isLight && recordOf(state, r).depth == level) {
                    MillRegion(state, r);
                    recordOf(state, r).state = 4;
                }
            }
        }
    }
    return std::nullopt;
}

} // namespace zelmar::reference
