#pragma once

#include <QString>

#include <array>
#include <vector>

namespace hs {

struct MeasurementData;
struct MeasurementSettings;

enum class CellAlignment { Left, Centre, Right };

// One result grid of the measurement screen as a plain cell model: row 0 and column 0 are the
// fixed (header) cells, widths are in twips. It behaves like the grid widget it stands for:
// cells keep their text until written again, fewer rows or columns drop the cells beyond them,
// and added rows and columns start empty (added columns with the default width and left
// alignment). Writes outside the grid are ignored.
class ResultGrid {
public:
    static constexpr int kDefaultColumnWidth = 700;

    int rowCount() const { return rows_; }
    int columnCount() const { return columns_; }
    void setRowCount(int rows);
    void setColumnCount(int columns);

    int columnWidth(int column) const;
    void setColumnWidth(int column, int twips);
    // The fixed cells of a column (its header; for column 0 also the order labels) and its
    // data cells.
    CellAlignment fixedAlignment(int column) const;
    CellAlignment dataAlignment(int column) const;
    void setFixedAlignment(int column, CellAlignment a);
    void setDataAlignment(int column, CellAlignment a);

    // Empty outside the grid.
    const QString& text(int row, int column) const;
    void setText(int row, int column, const QString& text);

private:
    struct Column {
        int width = kDefaultColumnWidth;
        CellAlignment fixed = CellAlignment::Left;
        CellAlignment data = CellAlignment::Left;
    };
    bool inside(int row, int column) const
    {
        return row >= 0 && row < rows_ && column >= 0 && column < columns_;
    }

    int rows_ = 0;
    int columns_ = 0;
    std::vector<Column> columnProps_;
    std::vector<QString> cells_; // row-major, rows_ x columns_
};

// Grid1(0) (odd orders and the RMS row) and Grid1(1) (even orders, the total row and the
// total-distortion row).
using ResultGridPair = std::array<ResultGrid, 2>;

// The four table views: 2 "数値Σ", 3 "数値Ｖ", 4 "数値Ｉ", 5 "数値Ｒ".
bool IsTableView(int view);

// Row of the "総合" row of Grid1(1) and of the "実効値" / "全歪" rows for an order limit.
inline int TotalRow(int maxOrder)
{
    return maxOrder / 2 + 1;
}
inline int RmsRow(int maxOrder)
{
    return maxOrder / 2 + 2;
}
// Grid (0 odd, 1 even) and row of order k.
inline int GridOfOrder(int k)
{
    return k % 2 == 0 ? 1 : 0;
}
inline int RowOfOrder(int k)
{
    return (k + 1) / 2;
}

// What the measurement screen's load sets on both grids: MaxHarmonicOrder / 2 + 2 rows, the
// fixed cells of column 0 right-aligned, columns 1..3 with centred headers and right-aligned
// data.
void PrepareResultGrids(ResultGridPair& grids, int maxOrder);

// The RMS left after removing the fundamental: sqrt(rms² - fundamental²) when rms is at least
// the fundamental, else 0.
double RemainderAfterFundamental(double rms, double fundamental);

// Fills both grids for a table view from the last analysed shot, feeder `channel` (0-based).
// Cells the view does not write keep their text. Order 1 shows its ratios as 100.0 %. Returns
// false, changing nothing, for a view that is not a table view.
bool FillResultTables(ResultGridPair& grids, int view, const MeasurementSettings& settings,
                      const MeasurementData& data, int channel);

} // namespace hs
