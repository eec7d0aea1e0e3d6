#include "app/ExportPlot.h"

#include "render/TrendScale.h"

#include <QFileInfo>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <limits>

namespace hs {

namespace {

const QColor kSeriesColours[] = {QColor(0, 0, 170),   QColor(170, 0, 0),   QColor(0, 130, 0),
                                 QColor(170, 0, 170), QColor(0, 150, 150), QColor(200, 120, 0),
                                 QColor(85, 85, 85)};

double rssRatio(const std::vector<float>& byOrder, const std::vector<int>& orders)
{
    if (byOrder.empty() || !(byOrder[0] > 0))
        return std::numeric_limits<double>::quiet_NaN();
    double sum = 0;
    for (std::size_t i = 0; i < orders.size(); ++i)
        if (orders[i] >= 2)
            sum += static_cast<double>(byOrder[i]) * byOrder[i];
    return std::sqrt(sum) / byOrder[0] * 100.0;
}

struct Panel {
    QRectF area;
    double low, high;
    double y(double v) const { return area.bottom() - (v - low) / (high - low) * area.height(); }
};

// The tick values of an axis, written with as many decimals as the step needs.
std::vector<std::pair<double, QString>> tickLabels(const AxisTicks& ticks)
{
    const int decimals =
        std::clamp(static_cast<int>(-std::floor(std::log10(ticks.step) + 1e-9)), 0, 6);
    std::vector<std::pair<double, QString>> out;
    for (double i = 0; ticks.first + i * ticks.step <= ticks.last + ticks.step / 2; ++i) {
        const double v = ticks.first + i * ticks.step;
        out.emplace_back(v, QString::number(v, 'f', decimals));
    }
    return out;
}

// The room left of a panel: its tick numbers, a gap and the axis title turned upright.
constexpr double kTickGap = 6;
constexpr double kTitleGap = 8;
constexpr double kTitleLine = 18;

double axisWidth(const QFontMetricsF& metrics, const AxisTicks& ticks)
{
    double widest = 0;
    for (const auto& [v, text] : tickLabels(ticks))
        widest = std::max(widest, metrics.horizontalAdvance(text));
    return widest + kTickGap + kTitleGap + kTitleLine;
}

void drawPanel(QPainter& p, const Panel& panel, const AxisTicks& ticks, const QString& unit,
               const std::vector<double>& x, double xLow, double xHigh, const ResultFile& file)
{
    p.setPen(QColor(220, 220, 220));
    const auto labels = tickLabels(ticks);
    for (const auto& [v, text] : labels)
        p.drawLine(QPointF(panel.area.left(), panel.y(v)), QPointF(panel.area.right(), panel.y(v)));
    p.setPen(Qt::black);
    p.drawRect(panel.area);
    const QFontMetricsF metrics(p.font());
    double widest = 0;
    for (const auto& [v, text] : labels) {
        widest = std::max(widest, metrics.horizontalAdvance(text));
        p.drawText(QRectF(0, panel.y(v) - 10, panel.area.left() - kTickGap, 20),
                   Qt::AlignRight | Qt::AlignVCenter, text);
    }
    // The title stands left of the widest tick number, never on one.
    const double titleCentre = panel.area.left() - kTickGap - widest - kTitleGap - kTitleLine / 2;
    p.save();
    p.translate(titleCentre, panel.area.center().y());
    p.rotate(-90);
    p.drawText(QRectF(-panel.area.height() / 2, -kTitleLine / 2, panel.area.height(), kTitleLine),
               Qt::AlignCenter, unit);
    p.restore();
    // Time labels: about eight, at record times.
    const std::size_t count = x.size();
    const std::size_t every = std::max<std::size_t>(1, count / 8);
    for (std::size_t i = 0; i < count; i += every) {
        const double px = panel.area.left() + (x[i] - xLow) / (xHigh - xLow) * panel.area.width();
        p.drawLine(QPointF(px, panel.area.bottom()), QPointF(px, panel.area.bottom() + 4));
        const QDateTime t = file.records[i].time;
        const QString label =
            t.toString(i == 0 ? QStringLiteral("MM/dd HH:mm") : QStringLiteral("HH:mm"));
        // The first label starts at the axis, clear of the lowest tick number left of it.
        const bool atStart = px - 60 < panel.area.left() - 1;
        p.drawText(QRectF(atStart ? px : px - 60, panel.area.bottom() + 5, 120, 18),
                   (atStart ? Qt::AlignLeft : Qt::AlignHCenter) | Qt::AlignTop, label);
    }
}

void drawSeries(QPainter& p, const Panel& panel, const std::vector<double>& x, double xLow,
                double xHigh, const std::vector<double>& values, const QColor& colour)
{
    p.setPen(QPen(colour, 2));
    QPainterPath path;
    bool open = false;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!std::isfinite(values[i])) {
            open = false;
            continue;
        }
        const QPointF point(panel.area.left() + (x[i] - xLow) / (xHigh - xLow) * panel.area.width(),
                            panel.y(values[i]));
        if (open)
            path.lineTo(point);
        else
            path.moveTo(point);
        open = true;
        if (values.size() <= 60)
            p.drawEllipse(point, 2.5, 2.5);
    }
    p.setBrush(Qt::NoBrush);
    p.drawPath(path);
}

} // namespace

AxisTicks NiceTicks(double low, double high, int target)
{
    if (!(high > low)) {
        const double pad = std::abs(low) > 0 ? std::abs(low) * 0.1 : 1.0;
        low -= pad;
        high += pad;
    }
    const double raw = (high - low) / std::max(1, target);
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    double step = power;
    for (double m : {1.0, 2.0, 5.0, 10.0}) {
        step = m * power;
        if (step >= raw)
            break;
    }
    AxisTicks t;
    t.step = step;
    t.first = std::floor(low / step + 1e-9) * step;
    t.last = std::ceil(high / step - 1e-9) * step;
    if (t.last <= t.first)
        t.last = t.first + step;
    return t;
}

std::vector<TrendSeries> TrendDistortionSeries(const ResultFile& file,
                                               const ExportSelection& selection)
{
    const std::size_t feeder = static_cast<std::size_t>(std::max(1, selection.feeder) - 1);
    std::vector<int> chosen;
    for (int k : selection.orders)
        if (k >= 2)
            chosen.push_back(k);
    if (selection.orders.empty())
        chosen = {3, 5, 7};

    std::vector<TrendSeries> series;
    series.push_back({QStringLiteral("V distortion"), {}});
    series.push_back({QStringLiteral("I%1 distortion").arg(feeder + 1), {}});
    std::vector<std::size_t> positions;
    for (int k : chosen) {
        const auto it = std::find(file.orders.begin(), file.orders.end(), k);
        if (it == file.orders.end())
            continue;
        positions.push_back(static_cast<std::size_t>(it - file.orders.begin()));
        series.push_back({QStringLiteral("V h%1").arg(k), {}});
    }
    for (const ResultRecord& r : file.records) {
        series[0].values.push_back(rssRatio(r.voltage, file.orders));
        series[1].values.push_back(feeder < r.current.size()
                                       ? rssRatio(r.current[feeder], file.orders)
                                       : std::numeric_limits<double>::quiet_NaN());
        for (std::size_t j = 0; j < positions.size(); ++j) {
            const double v1 = r.voltage.empty() ? 0 : r.voltage[0];
            series[2 + j].values.push_back(v1 > 0 ? r.voltage[positions[j]] / v1 * 100.0
                                                  : std::numeric_limits<double>::quiet_NaN());
        }
    }
    return series;
}

QImage PlotResultTrend(const ResultFile& file, const ExportSelection& selection, int width,
                       int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QFont font = p.font();
    font.setPixelSize(13);
    p.setFont(font);


    p.setPen(Qt::black);
    QString title =
        QFileInfo(file.path).fileName() + QStringLiteral(": %1 records").arg(file.records.size());
    if (!file.records.empty())
        title += QStringLiteral(", ") +
                 file.records.front().time.toString(QStringLiteral("yyyy-MM-dd HH:mm")) +
                 QStringLiteral(" to ") +
                 file.records.back().time.toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    QFont bold = font;
    bold.setBold(true);
    bold.setPixelSize(15);
    p.setFont(bold);
    p.drawText(QRectF(0, 8, width, 24), Qt::AlignCenter, title);
    p.setFont(font);

    // Time axis in minutes from the first record; a lone record sits in the middle.
    std::vector<double> x;
    for (const ResultRecord& r : file.records)
        x.push_back(file.records.front().time.secsTo(r.time) / 60.0);
    double xLow = x.empty() ? 0 : x.front(), xHigh = x.empty() ? 1 : x.back();
    if (!(xHigh > xLow)) {
        xLow -= 1;
        xHigh += 1;
    }

    std::vector<double> fundamental;
    for (const ResultRecord& r : file.records)
        fundamental.push_back(r.voltage.empty() ? std::numeric_limits<double>::quiet_NaN()
                                                : r.voltage[0]);
    const TrendSpan vSpan = TrendAxisSpan(fundamental, TrendQuantity::Magnitude);
    const AxisTicks vTicks = NiceTicks(vSpan.low, vSpan.high);

    const std::vector<TrendSeries> series = TrendDistortionSeries(file, selection);
    std::vector<double> values;
    for (const auto& s : series)
        values.insert(values.end(), s.values.begin(), s.values.end());
    const TrendSpan dSpan = TrendAxisSpan(values, TrendQuantity::Ratio);
    const AxisTicks dTicks = NiceTicks(dSpan.low, dSpan.high);

    // Both panels start where the wider axis (numbers and title) leaves room.
    const QFontMetricsF metrics(font);
    const double left =
        std::max({80.0, 6 + axisWidth(metrics, vTicks), 6 + axisWidth(metrics, dTicks)});
    const double right = width - 20.0;
    const QRectF top(left, 50, right - left, (height - 150) * 0.42);
    const QRectF bottom(left, top.bottom() + 60, right - left, (height - 150) * 0.58);

    const Panel upper{top, vTicks.first, vTicks.last};
    drawPanel(p, upper, vTicks, QStringLiteral("V h1 [V]"), x, xLow, xHigh, file);
    drawSeries(p, upper, x, xLow, xHigh, fundamental, kSeriesColours[0]);

    const Panel lower{bottom, dTicks.first, dTicks.last};
    drawPanel(p, lower, dTicks, QStringLiteral("% of fundamental"), x, xLow, xHigh, file);
    double legendX = left;
    for (std::size_t i = 0; i < series.size(); ++i) {
        const QColor colour = kSeriesColours[(i + 1) % std::size(kSeriesColours)];
        drawSeries(p, lower, x, xLow, xHigh, series[i].values, colour);
        p.setPen(QPen(colour, 3));
        const double y = bottom.top() - 14;
        p.drawLine(QPointF(legendX, y), QPointF(legendX + 20, y));
        p.setPen(Qt::black);
        p.drawText(QPointF(legendX + 26, y + 5), series[i].name);
        legendX += 40 + p.fontMetrics().horizontalAdvance(series[i].name);
    }
    p.setPen(Qt::black);
    p.drawText(QRectF(0, height - 24, width, 20), Qt::AlignCenter, QStringLiteral("save time"));
    p.end();
    return image;
}

} // namespace hs
