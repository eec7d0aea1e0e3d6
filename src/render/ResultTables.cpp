#include "render/ResultTables.h"

#include "common/NumberFormat.h"
#include "model/MeasurementData.h"
#include "model/MeasurementSettings.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace hs {

// ---- ResultGrid ----------------------------------------------------------------------------

void ResultGrid::setRowCount(int rows)
{
    rows = std::max(rows, 0);
    cells_.resize(static_cast<std::size_t>(rows) * static_cast<std::size_t>(columns_));
    rows_ = rows;
}

void ResultGrid::setColumnCount(int columns)
{
    columns = std::max(columns, 0);
    if (columns == columns_)
        return;
    std::vector<QString> cells(static_cast<std::size_t>(rows_) * static_cast<std::size_t>(columns));
    const int kept = std::min(columns, columns_);
    for (int r = 0; r < rows_; ++r)
        for (int c = 0; c < kept; ++c)
            cells[static_cast<std::size_t>(r * columns + c)] =
                std::move(cells_[static_cast<std::size_t>(r * columns_ + c)]);
    cells_ = std::move(cells);
    columnProps_.resize(static_cast<std::size_t>(columns));
    columns_ = columns;
}

int ResultGrid::columnWidth(int column) const
{
    return column >= 0 && column < columns_ ? columnProps_[static_cast<std::size_t>(column)].width
                                            : 0;
}

void ResultGrid::setColumnWidth(int column, int twips)
{
    if (column >= 0 && column < columns_)
        columnProps_[static_cast<std::size_t>(column)].width = twips;
}

CellAlignment ResultGrid::fixedAlignment(int column) const
{
    return column >= 0 && column < columns_ ? columnProps_[static_cast<std::size_t>(column)].fixed
                                            : CellAlignment::Left;
}

CellAlignment ResultGrid::dataAlignment(int column) const
{
    return column >= 0 && column < columns_ ? columnProps_[static_cast<std::size_t>(column)].data
                                            : CellAlignment::Left;
}

void ResultGrid::setFixedAlignment(int column, CellAlignment a)
{
    if (column >= 0 && column < columns_)
        columnProps_[static_cast<std::size_t>(column)].fixed = a;
}

void ResultGrid::setDataAlignment(int column, CellAlignment a)
{
    if (column >= 0 && column < columns_)
        columnProps_[static_cast<std::size_t>(column)].data = a;
}

const QString& ResultGrid::text(int row, int column) const
{
    static const QString empty;
    return inside(row, column) ? cells_[static_cast<std::size_t>(row * columns_ + column)] : empty;
}

void ResultGrid::setText(int row, int column, const QString& text)
{
    if (inside(row, column))
        cells_[static_cast<std::size_t>(row * columns_ + column)] = text;
}

// ---- Table views ---------------------------------------------------------------------------

namespace {

constexpr int kViewSum = 2;     // "数値Σ"
constexpr int kViewVoltage = 3; // "数値Ｖ"
constexpr int kViewCurrent = 4; // "数値Ｉ"
constexpr int kViewPhase = 5;   // "数値Ｒ"

constexpr char16_t kVolts[] = u"####0.0V";
constexpr char16_t kAmperes[] = u"####0.0A";
constexpr char16_t kVoltPercent[] = u"#0.0%";
constexpr char16_t kCurPercent[] = u"##0.0%";
constexpr char16_t kDegrees[] = u"##0ﾟ";
constexpr char16_t kOrder[] = u"##次";

// Reads of the result arrays that give 0 outside their current shape, so that a grid is
// always filled whatever the arrays hold.
template <typename T> double at(const std::vector<T>& v, int i)
{
    return i >= 0 && static_cast<std::size_t>(i) < v.size() ? double(v[static_cast<std::size_t>(i)])
                                                            : 0.0;
}
template <typename T, std::size_t N> double at(const std::array<T, N>& v, int i)
{
    return i >= 0 && static_cast<std::size_t>(i) < N ? double(v[static_cast<std::size_t>(i)]) : 0.0;
}
template <typename T> double at(const Array2<T>& a, int i0, int i1)
{
    if (i0 < 0 || i1 < 0 || static_cast<std::size_t>(i0) >= a.dim0() ||
        static_cast<std::size_t>(i1) >= a.dim1())
        return 0.0;
    return double(a(static_cast<std::size_t>(i0), static_cast<std::size_t>(i1)));
}
template <typename T> double at(const Array3<T>& a, int i0, int i1, int i2)
{
    if (i0 < 0 || i1 < 0 || i2 < 0 || static_cast<std::size_t>(i0) >= a.dim0() ||
        static_cast<std::size_t>(i1) >= a.dim1() || static_cast<std::size_t>(i2) >= a.dim2())
        return 0.0;
    return double(a(static_cast<std::size_t>(i0), static_cast<std::size_t>(i1),
                    static_cast<std::size_t>(i2)));
}

QString fmt(double value, const char16_t* pattern)
{
    return formatNumber(value, pattern);
}

// A ratio of two magnitudes; empty when there is nothing to relate to (a feeder without
// fundamental current), so that no cell shows a division by zero.
QString ratioText(double part, double whole, const char16_t* pattern)
{
    return whole > 0.0 ? fmt(part / whole, pattern) : QString();
}

struct ViewLayout {
    int columns;
    int dataWidth;
    int widthsSet; // columns 1..widthsSet get dataWidth
    bool setsOuterAlignment;
    std::array<const char16_t*, 6> headers;
};

ViewLayout layoutOf(int view)
{
    switch (view) {
    case kViewSum:
        return {6, 700, 5, true, {u"次数", u"電圧", u"歪み率", u"電流", u"歪み率", u"位相差"}};
    case kViewVoltage:
        return {4, 1200, 3, false, {u"次数", u"電圧１", u"電圧２", u"電圧３", nullptr, nullptr}};
    case kViewCurrent:
        return {4, 1200, 3, false, {u"次数", u"電流１", u"電流２", u"電流３", nullptr, nullptr}};
    default:
        // The width of column 5 is left as it stands.
        return {6, 700, 4, true, {u"次数", u"電圧", u"位相角", u"電流", u"位相角", u"位相差"}};
    }
}

class TableFill {
public:
    TableFill(ResultGridPair& grids, int view, const MeasurementSettings& s,
              const MeasurementData& d, int ch)
        : g_(grids), view_(view), s_(s), d_(d), ch_(ch), maxOrder_(s.MaxHarmonicOrder)
    {
    }

    void run()
    {
        const ViewLayout layout = layoutOf(view_);
        for (ResultGrid& g : g_) {
            g.setColumnCount(layout.columns);
            g.setColumnWidth(0, 500);
            for (int c = 1; c <= layout.widthsSet; ++c)
                g.setColumnWidth(c, layout.dataWidth);
            if (layout.setsOuterAlignment)
                for (int c = 4; c <= 5; ++c) {
                    g.setFixedAlignment(c, CellAlignment::Centre);
                    g.setDataAlignment(c, CellAlignment::Right);
                }
        }
        for (ResultGrid& g : g_)
            for (int c = 0; c < layout.columns; ++c)
                g.setText(0, c, QString::fromUtf16(layout.headers[static_cast<std::size_t>(c)]));
        for (int k = 1; k <= maxOrder_; ++k)
            orderRow(k);
        totalRow();
        const int rows = view_ == kViewPhase ? maxOrder_ / 2 + 2 : maxOrder_ / 2 + 3;
        g_[0].setRowCount(rows);
        if (view_ != kViewPhase)
            rmsRow();
        g_[1].setRowCount(rows);
        if (view_ != kViewPhase)
            distortionRow();
    }

private:
    void set(int grid, int row, int column, const QString& text)
    {
        g_[static_cast<std::size_t>(grid)].setText(row, column, text);
    }

    // Order 1 is the reference of the ratios: 100 % whatever the analysis stored.
    double voltRatio(int k) const { return k == 1 ? 100.0 : at(d_.VoltRatio, k); }
    double curRatio(int k) const { return k == 1 ? 100.0 : at(d_.CurRatio, ch_, k); }

    void orderRow(int k)
    {
        const int g = GridOfOrder(k);
        const int r = RowOfOrder(k);
        set(g, r, 0, fmt(k, kOrder));
        switch (view_) {
        case kViewSum:
            set(g, r, 1, fmt(at(d_.VoltByOrder, k), kVolts));
            set(g, r, 2, fmt(voltRatio(k) / 100.0, kVoltPercent));
            set(g, r, 3, fmt(at(d_.CurByOrder, ch_, k), kAmperes));
            set(g, r, 4, fmt(curRatio(k) / 100.0, kCurPercent));
            set(g, r, 5, fmt(at(d_.PowerAngle, ch_, k), kDegrees));
            break;
        case kViewVoltage:
            for (int j = 0; j < 3; ++j)
                set(g, r, j + 1, fmt(at(d_.VoltMag, k, j), kVolts));
            break;
        case kViewCurrent:
            for (int j = 0; j < 3; ++j)
                set(g, r, j + 1, fmt(at(d_.CurMag, ch_, k, j), kAmperes));
            break;
        default:
            set(g, r, 1, fmt(at(d_.VoltByOrder, k), kVolts));
            set(g, r, 2, fmt(at(d_.VoltSuperAngle, k), kDegrees));
            set(g, r, 3, fmt(at(d_.CurByOrder, ch_, k), kAmperes));
            set(g, r, 4, fmt(at(d_.CurSuperAngle, ch_, k), kDegrees));
            set(g, r, 5, fmt(at(d_.PowerAngle, ch_, k), kDegrees));
            break;
        }
    }

    // Grid1(1), the row after the last order: "総合" (view 5 empties it).
    void totalRow()
    {
        const int r = TotalRow(maxOrder_);
        switch (view_) {
        case kViewSum: {
            const double curRss = at(d_.CurHarmRss, ch_);
            set(1, r, 0, QStringLiteral("総合"));
            set(1, r, 1, fmt(d_.VoltHarmRss, kVolts));
            set(1, r, 2, ratioText(d_.VoltHarmRss, at(d_.VoltByOrder, 1), kVoltPercent));
            set(1, r, 3, fmt(curRss, kAmperes));
            set(1, r, 4, ratioText(curRss, at(d_.CurByOrder, ch_, 1), kCurPercent));
            set(1, r, 5, fmt(at(d_.HarmPowerAngle, ch_), kDegrees));
            break;
        }
        case kViewVoltage:
            set(1, r, 0, QStringLiteral("総合"));
            for (int j = 0; j < 3; ++j)
                set(1, r, j + 1, fmt(at(d_.VoltHarmRssPhase, j), kVolts));
            break;
        case kViewCurrent:
            set(1, r, 0, QStringLiteral("総合"));
            for (int j = 0; j < 3; ++j)
                set(1, r, j + 1, fmt(at(d_.CurHarmRssPhase, ch_, j), kAmperes));
            break;
        default:
            for (int c = 0; c < g_[1].columnCount(); ++c)
                set(1, r, c, QString());
            break;
        }
    }

    // Grid1(0), last row: "実効値". Cells the view leaves empty are written empty, so that no
    // value of another view stands under this view's headers.
    void rmsRow()
    {
        const int r = RmsRow(maxOrder_);
        set(0, r, 0, QStringLiteral("実効値"));
        if (view_ == kViewSum) {
            const double v = (at(d_.VoltRms, 0) + at(d_.VoltRms, 1) + at(d_.VoltRms, 2)) / 3.0;
            const double i =
                (at(d_.CurRms, ch_, 0) + at(d_.CurRms, ch_, 1) + at(d_.CurRms, ch_, 2)) / 3.0;
            set(0, r, 1, fmt(v, kVolts));
            set(0, r, 2, QString());
            set(0, r, 3, fmt(i, kAmperes));
            set(0, r, 4, QString());
            set(0, r, 5, QString());
            return;
        }
        for (int j = 0; j < 3; ++j)
            set(0, r, j + 1,
                view_ == kViewVoltage ? fmt(at(d_.VoltRms, j), kVolts)
                                      : fmt(at(d_.CurRms, ch_, j), kAmperes));
    }

    // Grid1(1), last row: "全歪", the RMS left after removing the fundamental.
    void distortionRow()
    {
        const int r = RmsRow(maxOrder_);
        set(1, r, 0, QStringLiteral("全歪"));
        if (view_ == kViewSum) {
            QString voltage;
            if (s_.RcRows[0].ticked) {
                const double m = (at(d_.VoltRms, 0) + at(d_.VoltRms, 1) + at(d_.VoltRms, 2)) / 3.0;
                voltage = fmt(RemainderAfterFundamental(m, at(d_.VoltByOrder, 1)), kVolts);
            }
            set(1, r, 1, voltage);
            for (int c = 2; c <= 5; ++c)
                set(1, r, c, QString());
            return;
        }
        for (int j = 0; j < 3; ++j)
            set(1, r, j + 1,
                view_ == kViewVoltage
                    ? fmt(RemainderAfterFundamental(at(d_.VoltRms, j), at(d_.VoltMag, 1, j)),
                          kVolts)
                    : fmt(RemainderAfterFundamental(at(d_.CurRms, ch_, j),
                                                    at(d_.CurMag, ch_, 1, j)),
                          kAmperes));
    }

    ResultGridPair& g_;
    int view_;
    const MeasurementSettings& s_;
    const MeasurementData& d_;
    int ch_;
    int maxOrder_;
};

} // namespace

bool IsTableView(int view)
{
    return view >= kViewSum && view <= kViewPhase;
}

void PrepareResultGrids(ResultGridPair& grids, int maxOrder)
{
    for (ResultGrid& g : grids) {
        g.setRowCount(maxOrder / 2 + 2);
        if (g.columnCount() < 4)
            g.setColumnCount(4);
        g.setFixedAlignment(0, CellAlignment::Right);
        for (int c = 1; c <= 3; ++c) {
            g.setFixedAlignment(c, CellAlignment::Centre);
            g.setDataAlignment(c, CellAlignment::Right);
        }
    }
}

double RemainderAfterFundamental(double rms, double fundamental)
{
    if (!(rms >= fundamental))
        return 0.0;
    return std::sqrt(rms * rms - fundamental * fundamental);
}

bool FillResultTables(ResultGridPair& grids, int view, const MeasurementSettings& settings,
                      const MeasurementData& data, int channel)
{
    if (!IsTableView(view))
        return false;
    TableFill(grids, view, settings, data, channel).run();
    return true;
}

} // namespace hs
