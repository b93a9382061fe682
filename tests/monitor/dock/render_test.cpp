// The drawing of the counts, composed in memory through the dock's copy
// seam and compared with the picture made by hand from the images; and the
// pictures it copies from.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "monitor/dock/dock.h"
#include "monitor/dock/images.h"
#include "monitor/dock/render.h"
#include "tests/monitor/dock/xpm_reference.h"

namespace {

struct Cell {
    int x, y, width, height;
};

// The cells of the picture: the box number's two; the new count's three,
// then the total's four, from the left.
const std::vector<Cell> boxCells = {{7, 12, 5, 9}, {13, 12, 5, 9}};
const std::vector<Cell> countCells = {{21, 7, 10, 20}, {33, 7, 10, 20},  {45, 7, 10, 20},
                                      {9, 34, 10, 20}, {21, 34, 10, 20}, {33, 34, 10, 20},
                                      {45, 34, 10, 20}};

const Cell signCell{5, 4, 16, 7};  // "Err"

// Where each glyph lies in the parts picture, unlit or lit.
Picture largeGlyph(const Picture& parts, int digit, bool lit) {
    return parts.crop(10 * digit, lit ? 20 : 0, 10, 20);
}
Picture smallGlyph(const Picture& parts, int digit, bool lit) {
    return parts.crop((lit ? 50 : 0) + 5 * digit, 40, 5, 9);
}
Picture dashGlyph(const Picture& parts, bool lit) { return parts.crop(100, lit ? 40 : 31, 5, 9); }
Picture signGlyph(const Picture& parts, bool lit) {
    return parts.crop(lit ? 16 : 0, 49, signCell.width, signCell.height);
}

void paste(Picture& picture, const Picture& glyph, int x, int y) {
    for (int row = 0; row < glyph.height; ++row)
        for (int column = 0; column < glyph.width; ++column)
            picture.rgb[static_cast<size_t>((y + row) * picture.width + x + column)] =
                glyph.at(column, row);
}

// The picture the display should show: the background, lit or not, with a
// glyph in each cell that the texts name; a blank keeps the ghost beneath.
struct Expected {
    bool lit;
    std::string box;    // its two cells: digits or dashes
    std::string fresh;  // the three cells of the new count
    std::string total;  // the four cells of the total
    bool sign = false;  // "Err" above the box number
};

Picture compose(const Expected& e) {
    const Picture parts = referencePicture(PictureName::parts);
    Picture picture = referencePicture(e.lit ? PictureName::backlit : PictureName::background);
    auto digit = [](char c) { return c - '0'; };
    for (std::size_t i = 0; i < e.box.size(); ++i) {
        const Cell& cell = boxCells[i];
        if (e.box[i] == '-') paste(picture, dashGlyph(parts, e.lit), cell.x, cell.y);
        if (e.box[i] != '-' && e.box[i] != ' ')
            paste(picture, smallGlyph(parts, digit(e.box[i]), e.lit), cell.x, cell.y);
    }
    const std::string counts = e.fresh + e.total;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        const Cell& cell = countCells[i];
        if (counts[i] != ' ')
            paste(picture, largeGlyph(parts, digit(counts[i]), e.lit), cell.x, cell.y);
    }
    if (e.sign) paste(picture, signGlyph(parts, e.lit), signCell.x, signCell.y);
    return picture;
}

// The drawables: the three pictures and the one under composition, in
// memory. A copy anywhere else shows the picture copied, whole.
constexpr DockDrawable background = 1, backlit = 2, parts = 3, work = 4;
std::map<DockDrawable, Picture> drawables;
std::vector<Picture> shown;

void copyInMemory(DockDrawable source, DockDrawable destination, int sourceX, int sourceY,
                  unsigned int width, unsigned int height, int x, int y) {
    const Picture& from = drawables.at(source);
    auto to = drawables.find(destination);
    if (to == drawables.end()) {
        shown.push_back(from);
        return;
    }
    const int w = static_cast<int>(width), h = static_cast<int>(height);
    if (sourceX < 0 || sourceY < 0 || sourceX + w > from.width || sourceY + h > from.height ||
        x < 0 || y < 0 || x + w > to->second.width || y + h > to->second.height) {
        ADD_FAILURE() << "a copy reaches outside its picture";
        return;
    }
    paste(to->second, from.crop(sourceX, sourceY, w, h), x, y);
}

// The pixels that differ, the first few of them named.
std::string differences(const Picture& got, const Picture& wanted) {
    std::string said;
    int count = 0;
    for (int y = 0; y < wanted.height; ++y) {
        for (int x = 0; x < wanted.width; ++x) {
            if (got.at(x, y) == wanted.at(x, y)) continue;
            if (++count <= 5) {
                char line[80];
                std::snprintf(line, sizeof line, " %d,%d is %06x, not %06x;", x, y, got.at(x, y),
                              wanted.at(x, y));
                said += line;
            }
        }
    }
    return std::to_string(count) + " pixels differ:" + said;
}

class InMemory : public ::testing::Test {
protected:
    void SetUp() override {
        saved = dockCopyArea;
        dockCopyArea = copyInMemory;
        backgroundPixmap.reset(background);
        backlitPixmap.reset(backlit);
        partsPixmap.reset(parts);
        workPixmap.reset(work);
        drawables = {{background, referencePicture(PictureName::background)},
                     {backlit, referencePicture(PictureName::backlit)},
                     {parts, referencePicture(PictureName::parts)}};
    }
    void TearDown() override {
        // No server: the ids are only dropped.
        backgroundPixmap.release();
        backlitPixmap.release();
        partsPixmap.release();
        workPixmap.release();
        dockCopyArea = saved;
    }
    DockCopyFunction saved = nullptr;
};

TEST_F(InMemory, RedrawShowsTheBoxNumberAndTheCountsInTheirCells) {
    struct Case {
        const char* name;
        DisplayState state;
        Expected picture;
    };
    const std::vector<Case> cases = {
        {"all boxes: two dashes",
         {.selectedBox = 0, .shownNew = 3, .shownTotal = 45},
         {false, "--", "  3", "  45"}},
        {"box 7, 0 new, 12 total",
         {.selectedBox = 7, .shownNew = 0, .shownTotal = 12},
         {false, "07", "  0", "  12"}},
        {"100 new: all three cells, lit",
         {.backlight = 1, .selectedBox = 12, .shownNew = 100, .shownTotal = 0},
         {true, "12", "100", "   0"}},
        {"1005 total: four digits",
         {.selectedBox = 1, .shownNew = 7, .shownTotal = 1005},
         {false, "01", "  7", "1005"}},
        {"10000 total shows a single 0",
         {.selectedBox = 1, .shownNew = 0, .shownTotal = 10000},
         {false, "01", "  0", "   0"}},
        {"12345 total shows 2345, 1234 new shows 234",
         {.selectedBox = 1, .shownNew = 1234, .shownTotal = 12345},
         {false, "01", "234", "2345"}},
        {"100 total: tens drawn inside the number",
         {.selectedBox = 1, .shownNew = 0, .shownTotal = 100},
         {false, "01", "  0", " 100"}},
        {"negative counts show 0",
         {.selectedBox = 1, .shownNew = -5, .shownTotal = -1},
         {false, "01", "  0", "   0"}},
        {"dark phase: no new count",
         {.backlight = 1, .selectedBox = 0, .showNewCount = 0, .shownNew = 88, .shownTotal = 9},
         {true, "--", "   ", "   9"}},
        {"box 123 shows its last two digits",
         {.selectedBox = 123, .shownNew = 0, .shownTotal = 0},
         {false, "23", "  0", "   0"}},
        {"backlight other than 1 is unlit",
         {.backlight = 2, .selectedBox = 0, .shownNew = 0, .shownTotal = 0},
         {false, "--", "  0", "   0"}},
        {"a failing box: the sign, and its counts as they were",
         {.selectedBox = 2, .shownNew = 0, .shownTotal = 3, .failing = 1},
         {false, "02", "  0", "   3", true}},
        {"all boxes, one failing, lit, every cell drawn",
         {.backlight = 1, .selectedBox = 0, .shownNew = 123, .shownTotal = 4567, .failing = 1},
         {true, "--", "123", "4567", true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A colour of no picture: a pixel the drawing leaves alone shows.
        drawables[work] = Picture{58, 58, std::vector<uint32_t>(58 * 58, 0x123456)};
        shown.clear();

        displayRedraw(c.state);

        ASSERT_EQ(shown.size(), 1u) << "the picture is shown once, when it is whole";
        const Picture wanted = compose(c.picture);
        EXPECT_TRUE(shown.front().rgb == wanted.rgb) << differences(shown.front(), wanted);
    }
}

// The pictures, read from their XPM text.

// The glyph as the background shows it: lit segments faint again.
Picture asGhost(Picture glyph, uint32_t faint) {
    for (uint32_t& p : glyph.rgb) {
        if (p == 0x020202) p = faint;
    }
    return glyph;
}

TEST(Pictures, EveryGlyphCoversTheGhostBeneathItExactly) {
    const Picture partsPicture = referencePicture(PictureName::parts);
    struct Set {
        const char* name;
        PictureName background;
        uint32_t faint;
        bool lit;
    };
    for (const Set& set : {Set{"unlit", PictureName::background, 0x767c6f, false},
                           Set{"lit", PictureName::backlit, 0x6cb237, true}}) {
        SCOPED_TRACE(set.name);
        const Picture ground = referencePicture(set.background);
        std::set<std::vector<uint32_t>> distinct;
        for (int d = 0; d < 10; ++d) {
            SCOPED_TRACE("digit " + std::to_string(d));
            const Picture glyph = largeGlyph(partsPicture, d, set.lit);
            distinct.insert(glyph.rgb);
            for (const Cell& cell : countCells) {
                EXPECT_EQ(asGhost(glyph, set.faint).rgb,
                          ground.crop(cell.x, cell.y, cell.width, cell.height).rgb);
            }
            const Picture little = smallGlyph(partsPicture, d, set.lit);
            distinct.insert(little.rgb);
            for (const Cell& cell : boxCells) {
                EXPECT_EQ(asGhost(little, set.faint).rgb,
                          ground.crop(cell.x, cell.y, cell.width, cell.height).rgb);
            }
        }
        const Picture dash = dashGlyph(partsPicture, set.lit);
        distinct.insert(dash.rgb);
        EXPECT_EQ(asGhost(dash, set.faint).rgb, ground.crop(7, 12, 5, 9).rgb);
        EXPECT_EQ(distinct.size(), 21u) << "every glyph differs from the others";
    }
}

// The sign lights black segments on the bare panel above the box number,
// the same in both sets, and covers no cell: drawn or not, every count and
// ghost stays as it is.
TEST(Pictures, TheSignLightsSegmentsOnTheBarePanelOutsideEveryCell) {
    const Picture partsPicture = referencePicture(PictureName::parts);
    for (const Cell& cell : boxCells) {
        EXPECT_TRUE(signCell.y + signCell.height < cell.y || signCell.x >= cell.x + cell.width);
    }
    for (const Cell& cell : countCells) {
        EXPECT_TRUE(signCell.x + signCell.width <= cell.x ||
                    signCell.y + signCell.height <= cell.y);
    }
    std::vector<bool> litShape[2];
    for (int lit : {0, 1}) {
        SCOPED_TRACE(lit ? "lit" : "unlit");
        const Picture ground =
            referencePicture(lit ? PictureName::backlit : PictureName::background);
        const Picture glyph = signGlyph(partsPicture, lit != 0);
        // The panel beneath the sign, and a row below it that keeps it apart
        // from the box number: bare.
        const uint32_t panel = ground.at(signCell.x, signCell.y);
        for (int y = signCell.y; y <= signCell.y + signCell.height; ++y)
            for (int x = signCell.x; x < signCell.x + signCell.width; ++x)
                EXPECT_EQ(ground.at(x, y), panel) << x << "," << y;
        for (uint32_t p : glyph.rgb) {
            EXPECT_TRUE(p == panel || p == 0x020202) << std::hex << p;
            litShape[lit].push_back(p == 0x020202);
        }
    }
    EXPECT_EQ(litShape[0], litShape[1]);
    EXPECT_GE(std::count(litShape[0].begin(), litShape[0].end(), true), 20);
}

TEST(Pictures, LitAndUnlitGlyphsShareTheirSegments) {
    const auto rows = referenceRows(PictureName::parts);
    const auto litShape = [&](int x, int y, int w, int h) {
        std::string shape;
        for (int r = y; r < y + h; ++r) {
            for (int c = x; c < x + w; ++c)
                shape += rows[static_cast<size_t>(r)][static_cast<size_t>(c)] == 'a' ? '1' : '0';
        }
        return shape;
    };
    for (int d = 0; d < 10; ++d) {
        SCOPED_TRACE(d);
        EXPECT_EQ(litShape(10 * d, 0, 10, 20), litShape(10 * d, 20, 10, 20));
        EXPECT_EQ(litShape(5 * d, 40, 5, 9), litShape(50 + 5 * d, 40, 5, 9));
    }
    EXPECT_EQ(litShape(100, 31, 5, 9), litShape(100, 40, 5, 9));
}

TEST(Pictures, BackgroundsShareCornersButtonsAndGroove) {
    const Picture unlit = referencePicture(PictureName::background);
    const Picture lit = referencePicture(PictureName::backlit);
    const std::set<std::pair<int, int>> corners = {{0, 0},  {1, 0},   {0, 1},   {56, 0},
                                                   {57, 0}, {57, 1},  {0, 56},  {0, 57},
                                                   {1, 57}, {57, 56}, {56, 57}, {57, 57}};
    for (int y = 0; y < 58; ++y) {
        for (int x = 0; x < 58; ++x) {
            const bool corner = corners.count({x, y}) != 0;
            EXPECT_EQ(unlit.at(x, y) == transparent, corner) << x << "," << y;
            EXPECT_EQ(lit.at(x, y) == transparent, corner) << x << "," << y;
            // Buttons and groove in the one dark colour, the same in both.
            EXPECT_EQ(unlit.at(x, y) == 0x3e463e, lit.at(x, y) == 0x3e463e) << x << "," << y;
        }
    }
    // The hot spots of the buttons: dark rims, the minus slot and the plus cut.
    for (int i = 0; i < 5; ++i) {
        for (int x0 : {7, 13}) {
            EXPECT_EQ(unlit.at(x0 + i, 22), 0x3e463eu);
            EXPECT_EQ(unlit.at(x0 + i, 26), 0x3e463eu);
        }
    }
    EXPECT_EQ(unlit.crop(8, 24, 3, 1).rgb, std::vector<uint32_t>(3, 0x8e968a));
    EXPECT_EQ(unlit.at(9, 23), 0x3e463eu);
    EXPECT_EQ(unlit.at(15, 23), 0x8e968au);
    EXPECT_EQ(unlit.at(15, 25), 0x8e968au);
    EXPECT_EQ(unlit.crop(14, 24, 3, 1).rgb, std::vector<uint32_t>(3, 0x8e968a));
}

}  // namespace
