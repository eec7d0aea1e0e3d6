#include "app/ReportDocument.h"

#include "app/ExportPlot.h"

#include <QBuffer>
#include <QFileInfo>
#include <QPageSize>
#include <QPainter>
#include <QPainterPath>
#include <QPdfWriter>
#include <QTextDocument>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <functional>
#include <iterator>

namespace hs {

const char* const kReportMethodSentence =
    "snapshot measurement, one fundamental cycle per shot, N shots per interval record — not an "
    "IEC 61000-4-30 Class A instrument";

namespace {

QString esc(const QString& text)
{
    return text.toHtmlEscaped();
}

QString number(double v, int decimals = 3)
{
    if (!std::isfinite(v))
        return QStringLiteral("—");
    return QString::number(v, 'f', decimals);
}

QString orderName(const SubjectResult& s, int order)
{
    if (order != 0)
        return QStringLiteral("%1次").arg(order);
    return s.limits.current ? QStringLiteral("TDD") : QStringLiteral("THD");
}

QString statisticJa(LimitStatistic statistic)
{
    switch (statistic) {
    case LimitStatistic::P95: return QStringLiteral("95%値");
    case LimitStatistic::P99: return QStringLiteral("99%値");
    case LimitStatistic::Max: return QStringLiteral("最大値");
    case LimitStatistic::Mean: return QStringLiteral("平均値");
    }
    return {};
}

QString minutesText(qint64 seconds)
{
    return QStringLiteral("%1分").arg(seconds / 60.0, 0, 'g', 4);
}

// "30分値の最大値" or "記録値 (60分間隔) の95%値".
QString comparedText(const SubjectResult& s)
{
    const QString values = s.aggregated
                               ? QStringLiteral("%1値 (記録 %2 間隔を時計に揃えた窓で二乗平均平方根)")
                                     .arg(minutesText(s.windowSeconds), minutesText(s.intervalSeconds))
                               : QStringLiteral("記録値 (%1 間隔、窓への集計なし: 記録が窓以上の長さ)")
                                     .arg(minutesText(s.intervalSeconds));
    return values + QStringLiteral(" の") + statisticJa(s.statistic);
}

QString flowText(const QuantityResult& q)
{
    if (q.outflow + q.inflow == 0)
        return QStringLiteral("—");
    return QStringLiteral("%1 (流出 %2 / 流入 %3)")
        .arg(q.outflow > q.inflow ? QStringLiteral("流出") : QStringLiteral("流入"))
        .arg(q.outflow)
        .arg(q.inflow);
}

QString imageSource(const QImage& image, ReportImages mode, const QString& name)
{
    if (mode == ReportImages::Named)
        return name;
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG", 80); // light compression: quicker, a little larger
    return QStringLiteral("data:image/png;base64,") + QString::fromLatin1(png.toBase64());
}

QString chartName(std::size_t subject)
{
    return QStringLiteral("chart-%1.png").arg(subject);
}

const char* const kStyle = R"(
body { font-family: "Noto Sans CJK JP", "Noto Sans JP", sans-serif; font-size: 10pt; margin: 1.5em; color: #000; }
h1 { font-size: 16pt; margin: 0 0 .3em 0; }
h2 { font-size: 13pt; border-bottom: 1px solid #444; margin-top: 1.2em; }
h3 { font-size: 11pt; margin-bottom: .2em; }
table { border-collapse: collapse; margin: .4em 0; }
th, td { border: 1px solid #888; padding: 2px 6px; text-align: right; }
th { background: #e8e8e8; }
td.l, th.l { text-align: left; }
.fail { color: #b00000; font-weight: bold; }
.pass { color: #006000; font-weight: bold; }
.note { font-size: 9pt; color: #333; }
img { max-width: 100%; }
@media print { body { margin: 0; } section.subject { page-break-before: always; } }
)";

// The PDF's text engine lays out per-cell borders and paddings slowly (seconds for a week of
// 256-order records): its tables take their borders from the table attributes instead.
const char* const kPdfStyle = R"(
h1 { font-size: 16pt; } h2 { font-size: 13pt; } h3 { font-size: 11pt; }
.fail { color: #b00000; font-weight: bold; } .pass { color: #006000; font-weight: bold; }
.note { font-size: 8pt; color: #333; }
)";

QString verdictWord(bool exceeded)
{
    return exceeded ? QStringLiteral("<span class=\"fail\" style=\"color:#b00000\">超過</span>")
                    : QStringLiteral("<span class=\"pass\" style=\"color:#006000\">適合</span>");
}

// The verdict table: one row per subject, first in the report.
QString verdictTable(const ComplianceReport& report)
{
    QString h = QStringLiteral(
        "<section id=\"verdict\"><h2>判定</h2><table border=\"1\" cellspacing=\"0\" cellpadding=\"3\">"
        "<tr><th class=\"l\">対象</th><th>判定</th><th class=\"l\">超過した項目</th>"
        "<th>最小余裕</th><th class=\"l\">比較した統計量</th></tr>");
    for (const SubjectResult& s : report.subjects) {
        QStringList over;
        for (const QuantityResult& q : s.quantities) {
            if (q.exceeded)
                over << orderName(s, q.order);
        }
        QString worst = QStringLiteral("—");
        if (s.worst >= 0) {
            const QuantityResult& w = s.quantities[static_cast<std::size_t>(s.worst)];
            worst = QStringLiteral("%1 % (%2)").arg(number(w.margin, 1), orderName(s, w.order));
        }
        h += QStringLiteral("<tr><td class=\"l\">%1</td><td>%2</td><td class=\"l\">%3</td>"
                            "<td>%4</td><td class=\"l\">%5</td></tr>")
                 .arg(esc(s.label), verdictWord(s.exceeded),
                      over.isEmpty() ? QStringLiteral("なし") : over.join(QStringLiteral("、")),
                      worst, esc(comparedText(s)));
    }
    return h + QStringLiteral("</table><p class=\"note\">余裕 = (限度値 − 統計量) / 限度値。"
                              "負の値は限度値の超過。</p></section>");
}

QString orderTable(const SubjectResult& s)
{
    const QString unit = esc(s.limits.unit);
    QString h = QStringLiteral(
                    "<table border=\"1\" cellspacing=\"0\" cellpadding=\"3\"><tr><th>次数</th>"
                    "<th>平均 [%1]</th><th>最大 [%1]</th><th>最大の時刻</th><th>95%値</th>"
                    "<th>99%値</th><th>限度値 [%1]</th><th>余裕</th><th>判定</th>%2</tr>")
                    .arg(unit, s.limits.current ? QStringLiteral("<th>流出/流入</th>") : QString());
    for (const QuantityResult& q : s.quantities) {
        h += QStringLiteral("<tr><td>%1</td><td>%2</td><td>%3</td><td>%4</td><td>%5</td><td>%6</td>"
                            "<td>%7</td><td>%8 %</td><td>%9</td>")
                 .arg(orderName(s, q.order), number(q.stats.mean), number(q.stats.max),
                      localSecondsText(q.stats.maxTime), number(q.stats.p95), number(q.stats.p99),
                      number(q.limit), number(q.margin, 1), verdictWord(q.exceeded));
        if (s.limits.current)
            h += QStringLiteral("<td>%1</td>").arg(q.order == 0 ? QStringLiteral("—") : flowText(q));
        h += QStringLiteral("</tr>");
    }
    return h + QStringLiteral("</table>");
}

QString coverageBlock(const SubjectResult& s)
{
    const Coverage& c = s.coverage;
    QString h = QStringLiteral("<h3>記録の充足</h3><p>記録 %1 件 / 期待 %2 件 (充足率 %3 %)、"
                               "記録間隔 %4。評価に使った値 %5 個 (N)")
                    .arg(c.records)
                    .arg(c.expected)
                    .arg(number(c.share * 100.0, 1), minutesText(s.intervalSeconds))
                    .arg(s.n);
    h += QStringLiteral("、いずれかの次数が限度値を超えた値 %1 個 (N1)、総合歪み率が超えた値 %2 個 (N2)。</p>")
             .arg(s.n1)
             .arg(s.n2);
    if (c.gaps.empty())
        return h + QStringLiteral("<p>欠測: なし</p>");
    h += QStringLiteral("<table border=\"1\" cellspacing=\"0\" cellpadding=\"3\"><tr><th class=\"l\">"
                        "欠測の最初の保存時刻</th><th class=\"l\">最後</th><th>件数</th></tr>");
    for (const RecordGap& g : c.gaps) {
        h += QStringLiteral("<tr><td class=\"l\">%1</td><td class=\"l\">%2</td><td>%3</td></tr>")
                 .arg(localSecondsText(g.first), localSecondsText(g.last))
                 .arg(g.count);
    }
    return h + QStringLiteral("</table>");
}

QString subjectSection(const ComplianceReport& report, std::size_t index, const QImage& chart,
                       ReportImages images)
{
    const SubjectResult& s = report.subjects[index];
    const LimitSection& section = s.limits.current ? report.profile.current : report.profile.voltage;
    QString h = QStringLiteral("<section class=\"subject\"><h2>%1 — %2</h2>")
                    .arg(esc(s.label), verdictWord(s.exceeded));
    h += QStringLiteral("<p>%1: %2。限度値の区分: %3%4。比較: %5。</p>")
             .arg(s.limits.current ? QStringLiteral("高調波電流") : QStringLiteral("高調波電圧"),
                  s.limits.current && s.limits.unit == QLatin1String("%IL")
                      ? QStringLiteral("IL = %1 A に対する %").arg(number(s.limits.base, 1))
                  : s.limits.current ? QStringLiteral("A (一次側)")
                                     : QStringLiteral("基本波に対する %"),
                  esc(s.limits.bandLabel),
                  s.limits.current && s.limits.unit == QLatin1String("A")
                      ? QStringLiteral(" (mA/kW × 契約電力 kW / 1000)")
                      : QString(),
                  esc(comparedText(s)));
    h += orderTable(s);
    if (!s.notEvaluated.empty()) {
        QStringList orders;
        for (int k : s.notEvaluated)
            orders << QString::number(k);
        h += QStringLiteral("<p class=\"fail\" style=\"color:#b00000\">評価できなかった次数: %1 "
                            "(記録に含まれない次数。偶数次は256次オプションの記録にのみ含まれる)</p>")
                 .arg(orders.join(QStringLiteral(", ")));
    }
    if (s.totalFromOddOrdersOnly && std::any_of(s.quantities.begin(), s.quantities.end(),
                                                [](const QuantityResult& q) { return q.order == 0; }))
        h += QStringLiteral("<p class=\"note\">総合歪み率 (%1) は記録にある次数 (奇数次) のみから算出 "
                            "(%2 次まで)。</p>")
                 .arg(orderName(s, 0))
                 .arg(s.limits.totalUpTo);
    if (!section.source.isEmpty())
        h += QStringLiteral("<p class=\"note\">出典: %1</p>").arg(esc(section.source));
    if (!section.evenSource.isEmpty())
        h += QStringLiteral("<p class=\"note\">偶数次: %1</p>").arg(esc(section.evenSource));
    if (!section.note.isEmpty())
        h += QStringLiteral("<p class=\"note\">%1</p>").arg(esc(section.note));
    const auto charted = chartedQuantities(s);
    if (!charted.empty() && !chart.isNull()) {
        QStringList names;
        for (const QuantityResult* q : charted)
            names << orderName(s, q->order);
        h += QStringLiteral("<h3>推移 (限度値を超えた、または限度値の 80 % 以上の項目: %1)</h3>"
                            "<p><img src=\"%2\" width=\"720\" alt=\"%3 の推移\"></p>")
                 .arg(names.join(QStringLiteral("、")),
                      imageSource(chart, images, chartName(index)),
                      esc(s.label));
    }
    return h + coverageBlock(s) + QStringLiteral("</section>");
}

QString headerBlock(const ComplianceReport& report)
{
    const LimitProfile& p = report.profile;
    QString h = QStringLiteral("<h1>高調波 限度値適合レポート</h1><p>基準: <b>%1</b> (%2)<br>出典: %3、版: %4</p>")
                    .arg(esc(p.titleJa), esc(p.title), esc(p.source), esc(p.edition));
    QStringList params;
    if (report.params.kv)
        params << QStringLiteral("電圧 %1 kV").arg(*report.params.kv);
    const auto list = [](const std::vector<double>& v) {
        QStringList out;
        for (double x : v)
            out << QString::number(x);
        return out.join(QStringLiteral(", "));
    };
    if (!report.params.contractKw.empty())
        params << QStringLiteral("契約電力 %1 kW").arg(list(report.params.contractKw));
    if (!report.params.il.empty())
        params << QStringLiteral("IL %1 A").arg(list(report.params.il));
    if (!report.params.isc.empty())
        params << QStringLiteral("Isc %1 A").arg(list(report.params.isc));
    h += QStringLiteral("<p>期間: %1 〜 %2<br>条件: %3<br>記録: %4</p>")
             .arg(localSecondsText(report.periodStart), localSecondsText(report.periodEnd),
                  esc(params.join(QStringLiteral("、"))),
                  esc(report.sources.join(QStringLiteral(", "))));
    for (const QString& note : report.notes)
        h += QStringLiteral("<p class=\"note\">%1</p>").arg(esc(note));
    return h;
}

QString methodBlock()
{
    return QStringLiteral(
               "<section id=\"method\"><h2>測定と統計の方法</h2><p><b>%1</b></p><p>"
               "各ショットで基本波 1 周期の波形を取り込み、保存間隔ごとにショットの平均を 1 記録とする"
               " (N は保存間隔内のショット数。結果ファイルには記録されない)。IEC 61000-4-30 Class A "
               "の測定器ではないため、結果は目安として扱うこと。</p><p>95%値・99%値は最近順位法: n 個の値の"
               "うち小さい方から ⌈p·n⌉ 番目の値 (補間なし)。窓は時計に揃え (10 分なら :00, :10, …)、"
               "保存時刻 t の記録はその前の間隔を表すので t を含む窓 (k·W, (k+1)·W] に入る。"
               "電流の流出/流入は各次数の高調波有効電力の符号による (負: 流出)。</p></section>")
        .arg(QString::fromUtf8(kReportMethodSentence).toHtmlEscaped());
}

} // namespace

std::vector<const QuantityResult*> chartedQuantities(const SubjectResult& subject, int most)
{
    std::vector<const QuantityResult*> out;
    for (const QuantityResult& q : subject.quantities) {
        if (q.value >= 0.8 * q.limit)
            out.push_back(&q);
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const QuantityResult* a, const QuantityResult* b) { return a->margin < b->margin; });
    if (out.size() > static_cast<std::size_t>(most))
        out.resize(static_cast<std::size_t>(most));
    return out;
}

std::vector<QImage> reportCharts(const ComplianceReport& report)
{
    std::vector<QImage> charts;
    for (const SubjectResult& s : report.subjects) {
        const auto charted = chartedQuantities(s);
        charts.push_back(charted.empty() ? QImage() : reportTrendChart(s, charted));
    }
    return charts;
}

QString reportHtml(const ComplianceReport& report, const std::vector<QImage>& charts,
                   ReportImages images)
{
    QString h = QStringLiteral("<!DOCTYPE html>\n<html lang=\"ja\"><head><meta charset=\"utf-8\">"
                               "<title>高調波 限度値適合レポート</title><style>%1</style></head><body>")
                    .arg(QString::fromLatin1(images == ReportImages::Inline ? kStyle : kPdfStyle));
    h += headerBlock(report) + verdictTable(report);
    for (std::size_t i = 0; i < report.subjects.size(); ++i)
        h += subjectSection(report, i, i < charts.size() ? charts[i] : QImage(), images);
    return h + methodBlock() + QStringLiteral("</body></html>\n");
}

namespace {

const QColor kChartColours[] = {QColor(0, 0, 170),   QColor(0, 130, 0),  QColor(170, 0, 170),
                                QColor(0, 150, 150), QColor(200, 120, 0), QColor(85, 85, 85)};

// The axis of a subject's chart: percent of each limit, at least up to 120 %.
AxisTicks chartTicks(const std::vector<const QuantityResult*>& quantities)
{
    double high = 120;
    for (const QuantityResult* q : quantities) {
        for (float v : q->windowValues) {
            if (std::isfinite(v))
                high = std::max(high, v / q->limit * 100.0);
        }
    }
    return NiceTicks(0, high, 5);
}

// Each quantity's window values as a line; a window without a value, or windows more than two
// apart, break it.
void drawSeries(QPainter& p, const SubjectResult& s, const QuantityResult& q,
                const std::function<QPointF(qint64, double)>& at)
{
    QPainterPath path;
    bool pen = false;
    for (std::size_t w = 0; w < q.windowValues.size() && w < s.windowEnds.size(); ++w) {
        const float v = q.windowValues[w];
        const bool apart = w > 0 && s.windowEnds[w] - s.windowEnds[w - 1] > 2 * s.windowSeconds;
        if (!std::isfinite(v) || apart)
            pen = false;
        if (!std::isfinite(v))
            continue;
        const QPointF point = at(s.windowEnds[w], v / q.limit * 100.0);
        pen ? path.lineTo(point) : path.moveTo(point);
        pen = true;
    }
    p.drawPath(path);
}

} // namespace

QImage reportTrendChart(const SubjectResult& s, const std::vector<const QuantityResult*>& quantities,
                        int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QFont font(QStringLiteral("Noto Sans CJK JP"));
    font.setPixelSize(13);
    p.setFont(font);
    const QRectF area(60, 30, width - 80, height - 64);
    const AxisTicks ticks = chartTicks(quantities);
    const qint64 t0 = s.windowEnds.empty() ? 0 : s.windowEnds.front();
    const qint64 t1 = s.windowEnds.empty() ? 1 : std::max(s.windowEnds.back(), t0 + 1);
    const auto at = [&](qint64 t, double percent) {
        return QPointF(area.left() + double(t - t0) / double(t1 - t0) * area.width(),
                       area.bottom() - (percent - ticks.first) / (ticks.last - ticks.first) * area.height());
    };
    for (double v = ticks.first; v <= ticks.last + ticks.step / 2; v += ticks.step) {
        p.setPen(QColor(210, 210, 210));
        p.drawLine(at(t0, v), at(t1, v));
        p.setPen(Qt::black);
        p.drawText(QRectF(0, at(t0, v).y() - 8, area.left() - 6, 16), Qt::AlignRight | Qt::AlignVCenter,
                   QString::number(v, 'g', 4));
    }
    p.drawRect(area);
    QString title = QStringLiteral("%1 — 限度値に対する %2 (%3)")
                        .arg(s.label, QStringLiteral("%"),
                             s.aggregated ? QStringLiteral("%1値").arg(minutesText(s.windowSeconds))
                                          : QStringLiteral("記録値"));
    p.drawText(QRectF(area.left(), 6, area.width() / 2, 20), Qt::AlignLeft, title);
    double legend = area.left() + area.width() / 2;
    for (std::size_t i = 0; i < quantities.size(); ++i) {
        const QColor colour = kChartColours[i % std::size(kChartColours)];
        p.setPen(QPen(colour, 2));
        p.drawLine(QPointF(legend, 16), QPointF(legend + 16, 16));
        p.setPen(Qt::black);
        const QString name = orderName(s, quantities[i]->order);
        p.drawText(QPointF(legend + 20, 21), name);
        legend += 28 + p.fontMetrics().horizontalAdvance(name);
        p.setPen(QPen(colour, 1.5));
        drawSeries(p, s, *quantities[i], at);
    }
    p.setPen(QPen(QColor(200, 0, 0), 2, Qt::DashLine));
    p.drawLine(at(t0, 100), at(t1, 100));
    p.drawText(QRectF(area.right() - 200, at(t0, 100).y() - 20, 196, 18), Qt::AlignRight,
               QStringLiteral("限度値 (100 %)"));
    p.setPen(Qt::black);
    p.drawText(QRectF(area.left(), area.bottom() + 4, 200, 18), Qt::AlignLeft, localSecondsText(t0));
    p.drawText(QRectF(area.right() - 200, area.bottom() + 4, 200, 18), Qt::AlignRight,
               localSecondsText(t1));
    return image;
}

QByteArray reportCsv(const ComplianceReport& report)
{
    QByteArray out = "subject,phase,feeder,quantity,order,statistic,value,time,limit,unit,verdict\n";
    const auto row = [&](const SubjectResult& s, const QString& order, const char* statistic,
                         const QString& value, const QString& time, const QString& limit,
                         const QString& verdict) {
        out += QStringLiteral("%1,%2,%3,%4,%5,%6,%7,%8,%9,")
                   .arg(s.label, s.phase.isNull() ? QString() : QString(s.phase))
                   .arg(s.limits.feeder)
                   .arg(s.limits.current ? QStringLiteral("current") : QStringLiteral("voltage"),
                        order, QLatin1String(statistic), value, time, limit)
                   .toUtf8();
        // Counts of records and windows have no unit.
        const QString unit = order.isEmpty() ? QString() : s.limits.unit;
        out += (unit + QLatin1Char(',') + verdict + QLatin1Char('\n')).toUtf8();
    };
    const auto g = [](double v) { return QString::number(v, 'g', 7); };
    for (const SubjectResult& s : report.subjects) {
        const Coverage& c = s.coverage;
        row(s, {}, "records", QString::number(c.records), {}, {}, {});
        row(s, {}, "expected", QString::number(c.expected), {}, {}, {});
        row(s, {}, "coverage_percent", g(c.share * 100), {}, {}, {});
        for (const RecordGap& gap : c.gaps)
            row(s, {}, "gap", QString::number(gap.count), localSecondsText(gap.first), {}, {});
        for (const QuantityResult& q : s.quantities) {
            const QString order = q.order == 0 ? orderName(s, 0) : QString::number(q.order);
            const QString limit = g(q.limit);
            const QString verdict = q.exceeded ? QStringLiteral("exceeded") : QStringLiteral("pass");
            row(s, order, "count", QString::number(q.stats.count), {}, limit, verdict);
            row(s, order, "mean", g(q.stats.mean), {}, limit, verdict);
            row(s, order, "max", g(q.stats.max), localSecondsText(q.stats.maxTime), limit, verdict);
            row(s, order, "p95", g(q.stats.p95), {}, limit, verdict);
            row(s, order, "p99", g(q.stats.p99), {}, limit, verdict);
            row(s, order, "margin_percent", g(q.margin), {}, limit, verdict);
            row(s, order, "exceeded_values", QString::number(q.exceedances.size()), {}, limit, verdict);
            for (const auto& [t, v] : q.exceedances)
                row(s, order, "exceedance", g(v), localSecondsText(t), limit, verdict);
            if (q.order != 0 && q.outflow + q.inflow > 0) {
                row(s, order, "outflow_records", QString::number(q.outflow), {}, {}, {});
                row(s, order, "inflow_records", QString::number(q.inflow), {}, {}, {});
            }
        }
        for (int k : s.notEvaluated)
            row(s, QString::number(k), "not_evaluated", {}, {}, {}, {});
    }
    return out;
}

bool writeReportPdf(const ComplianceReport& report, const std::vector<QImage>& charts,
                    const QString& path, QString& error)
{
    QTextDocument document;
    for (std::size_t i = 0; i < report.subjects.size(); ++i) {
        if (i < charts.size() && !charts[i].isNull())
            document.addResource(QTextDocument::ImageResource, QUrl(chartName(i)), charts[i]);
    }
    QFont font(QStringLiteral("Noto Sans CJK JP"));
    font.setPointSizeF(9);
    document.setDefaultFont(font);
    document.setHtml(reportHtml(report, charts, ReportImages::Named));
    QPdfWriter writer(path);
    writer.setPageSize(QPageSize(QPageSize::A4));
    writer.setResolution(96); // one device pixel per CSS pixel of the page
    writer.setTitle(QStringLiteral("高調波 限度値適合レポート"));
    writer.setCreator(QStringLiteral("harmonic-station"));
    // Images fit the printable width.
    document.setPageSize(QSizeF(writer.width(), writer.height()));
    document.print(&writer);
    if (!QFileInfo(path).isFile() || QFileInfo(path).size() == 0) {
        error = QStringLiteral("%1: cannot write the PDF").arg(path);
        return false;
    }
    return true;
}

} // namespace hs
