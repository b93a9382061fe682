// The drawing of the counts, through a recorder in place of the copy, and
// the pictures it copies from.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "monitor/dock/dock.h"
#include "monitor/dock/images.h"
#include "monitor/dock/render.h"
#include "tests/monitor/dock/xpm_reference.h"

namespace {

struct Copy {
    DockDrawable source = 0;
    DockDrawable destination = 0;
    int sourceX = 0, sourceY = 0;
    unsigned int width = 0, height = 0;
    int x = 0, y = 0;
    auto key() const {
        return std::tie(source, destination, sourceX, sourceY, width, height, x, y);
    }
    bool operator<(const Copy& other) const { return key() < other.key(); }
    bool operator==(const Copy& other) const { return key() == other.key(); }
};

std::vector<Copy> copies;

void record(DockDrawable source, DockDrawable destination, int sourceX, int sourceY,
            unsigned int width, unsigned int height, int x, int y) {
    copies.push_back({source, destination, sourceX, sourceY, width, height, x, y});
}

constexpr DockDrawable background = 1, backlit = 2, parts = 3, work = 4;

Copy large(int digit, bool lit, int x, int y) {
    return {parts, work, 10 * digit, lit ? 20 : 0, 10, 20, x, y};
}
Copy small(int digit, bool lit, int x) {
    return {parts, work, (lit ? 50 : 0) + 5 * digit, 40, 5, 9, x, 12};
}
Copy dash(bool lit, int x) { return {parts, work, 100, lit ? 40 : 31, 5, 9, x, 12}; }
Copy sign(bool lit) { return {parts, work, lit ? 16 : 0, 49, 16, 7, 5, 4}; }

std::string describe(const Copy& c) {
    return "(" + std::to_string(c.sourceX) + "," + std::to_string(c.sourceY) + " " +
           std::to_string(c.width) + "x" + std::to_string(c.height) + " -> " + std::to_string(c.x) +
           "," + std::to_string(c.y) + ")";
}

struct Case {
    const char* name;
    int backlight, box, newCount, total, showNew;
    std::vector<Copy> glyphs;  // in any order
    int failing = 0;
};

class Recorder : public ::testing::Test {
protected:
    void SetUp() override {
        saved = dockCopyArea;
        dockCopyArea = record;
        backgroundPixmap.reset(background);
        backlitPixmap.reset(backlit);
        partsPixmap.reset(parts);
        workPixmap.reset(work);
        copies.clear();
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

TEST_F(Recorder, RedrawCopiesTheBackgroundThenOnlyTheDigitsThenShows) {
    const bool U = false, L = true;
    const std::vector<Case> cases = {
        {"all boxes: two dashes",
         0,
         0,
         3,
         45,
         1,
         {dash(U, 7), dash(U, 13), large(3, U, 45, 7), large(5, U, 45, 34), large(4, U, 33, 34)}},
        {"box 7, 0 new, 12 total",
         0,
         7,
         0,
         12,
         1,
         {small(0, U, 7), small(7, U, 13), large(0, U, 45, 7), large(2, U, 45, 34),
          large(1, U, 33, 34)}},
        {"100 new: all three cells, lit",
         1,
         12,
         100,
         0,
         1,
         {small(1, L, 7), small(2, L, 13), large(1, L, 21, 7), large(0, L, 33, 7),
          large(0, L, 45, 7), large(0, L, 45, 34)}},
        {"1005 total: four digits",
         0,
         1,
         7,
         1005,
         1,
         {small(0, U, 7), small(1, U, 13), large(7, U, 45, 7), large(1, U, 9, 34),
          large(0, U, 21, 34), large(0, U, 33, 34), large(5, U, 45, 34)}},
        {"10000 total shows a single 0",
         0,
         1,
         0,
         10000,
         1,
         {small(0, U, 7), small(1, U, 13), large(0, U, 45, 7), large(0, U, 45, 34)}},
        {"12345 total shows 2345, 1234 new shows 234",
         0,
         1,
         1234,
         12345,
         1,
         {small(0, U, 7), small(1, U, 13), large(2, U, 21, 7), large(3, U, 33, 7),
          large(4, U, 45, 7), large(2, U, 9, 34), large(3, U, 21, 34), large(4, U, 33, 34),
          large(5, U, 45, 34)}},
        {"100 total: tens drawn inside the number",
         0,
         1,
         0,
         100,
         1,
         {small(0, U, 7), small(1, U, 13), large(0, U, 45, 7), large(1, U, 21, 34),
          large(0, U, 33, 34), large(0, U, 45, 34)}},
        {"negative counts show 0",
         0,
         1,
         -5,
         -1,
         1,
         {small(0, U, 7), small(1, U, 13), large(0, U, 45, 7), large(0, U, 45, 34)}},
        {"dark phase: no new count",
         1,
         0,
         88,
         9,
         0,
         {dash(L, 7), dash(L, 13), large(9, L, 45, 34)}},
        {"box 123 shows its last two digits",
         0,
         123,
         0,
         0,
         1,
         {small(2, U, 7), small(3, U, 13), large(0, U, 45, 7), large(0, U, 45, 34)}},
        {"backlight other than 1 is unlit",
         2,
         0,
         0,
         0,
         1,
         {dash(U, 7), dash(U, 13), large(0, U, 45, 7), large(0, U, 45, 34)}},
        {"a failing box: the sign, and its counts as they were",
         0,
         2,
         0,
         3,
         1,
         {sign(U), small(0, U, 7), small(2, U, 13), large(0, U, 45, 7), large(3, U, 45, 34)},
         1},
        {"all boxes, one failing, lit, every cell drawn",
         1,
         0,
         123,
         4567,
         1,
         {sign(L), dash(L, 7), dash(L, 13), large(1, L, 21, 7), large(2, L, 33, 7),
          large(3, L, 45, 7), large(4, L, 9, 34), large(5, L, 21, 34), large(6, L, 33, 34),
          large(7, L, 45, 34)},
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        copies.clear();

        displayRedraw({.backlight = c.backlight,
                       .selectedBox = c.box,
                       .showNewCount = c.showNew,
                       .shownNew = c.newCount,
                       .shownTotal = c.total,
                       .failing = c.failing});

        ASSERT_GE(copies.size(), 2u);
        EXPECT_LE(copies.size(), 11u + c.failing);
        const Copy first{c.backlight == 1 ? backlit : background, work, 0, 0, 58, 58, 0, 0};
        EXPECT_EQ(copies.front(), first) << describe(copies.front());
        EXPECT_EQ(copies.back().source, work);
        EXPECT_NE(copies.back().destination, work);

        std::multiset<Copy> drawn(copies.begin() + 1, copies.end() - 1);
        std::multiset<Copy> expected(c.glyphs.begin(), c.glyphs.end());
        std::string got;
        for (const Copy& d : drawn) got += describe(d) + " ";
        EXPECT_EQ(drawn, expected) << got;
    }
}

// The pictures, read from their XPM text.

struct Cell {
    int x, y, width, height;
};

const std::vector<Cell> boxCells = {{7, 12, 5, 9}, {13, 12, 5, 9}};
const std::vector<Cell> countCells = {{21, 7, 10, 20}, {33, 7, 10, 20},  {45, 7, 10, 20},
                                      {9, 34, 10, 20}, {21, 34, 10, 20}, {33, 34, 10, 20},
                                      {45, 34, 10, 20}};

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
        int largeRow, smallX, dashY;
    };
    for (const Set& set : {Set{"unlit", PictureName::background, 0x767c6f, 0, 0, 31},
                           Set{"lit", PictureName::backlit, 0x6cb237, 20, 50, 40}}) {
        SCOPED_TRACE(set.name);
        const Picture ground = referencePicture(set.background);
        std::set<std::vector<uint32_t>> distinct;
        for (int d = 0; d < 10; ++d) {
            SCOPED_TRACE("digit " + std::to_string(d));
            const Picture glyph = partsPicture.crop(10 * d, set.largeRow, 10, 20);
            distinct.insert(glyph.rgb);
            for (const Cell& cell : countCells) {
                EXPECT_EQ(asGhost(glyph, set.faint).rgb,
                          ground.crop(cell.x, cell.y, cell.width, cell.height).rgb);
            }
            const Picture little = partsPicture.crop(set.smallX + 5 * d, 40, 5, 9);
            distinct.insert(little.rgb);
            for (const Cell& cell : boxCells) {
                EXPECT_EQ(asGhost(little, set.faint).rgb,
                          ground.crop(cell.x, cell.y, cell.width, cell.height).rgb);
            }
        }
        const Picture dashGlyph = partsPicture.crop(100, set.dashY, 5, 9);
        distinct.insert(dashGlyph.rgb);
        EXPECT_EQ(asGhost(dashGlyph, set.faint).rgb, ground.crop(7, 12, 5, 9).rgb);
        EXPECT_EQ(distinct.size(), 21u) << "every glyph differs from the others";
    }
}

// The sign lights black segments on the bare panel above the box number,
// the same in both sets, and covers no cell: drawn or not, every count and
// ghost stays as it is.
TEST(Pictures, TheSignLightsSegmentsOnTheBarePanelOutsideEveryCell) {
    const Picture partsPicture = referencePicture(PictureName::parts);
    const Cell signCell{5, 4, 16, 7};
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
        const Picture glyph = partsPicture.crop(16 * lit, 49, signCell.width, signCell.height);
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
