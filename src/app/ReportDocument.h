#pragma once

#include "compliance/ComplianceReport.h"

#include <QByteArray>
#include <QImage>
#include <QString>

#include <vector>

namespace hs {

// The compliance report as documents: a self-contained Japanese HTML page (verdict first, per
// subject a table of orders, trend charts with the limit line, totals, coverage and gaps, the
// method), the same content as PDF through Qt's PDF writer, and a CSV of one row per subject ×
// order × statistic.

// The method as the report states it.
extern const char* const kReportMethodSentence;

// The quantities of a subject that get a trend chart: those that exceed their limit or come
// within 20 % of it, smallest margin first, at most `most`.
std::vector<const QuantityResult*> chartedQuantities(const SubjectResult& subject, int most = 6);
// The trend of a subject's charted quantities, each in percent of its own limit, so that one
// line at 100 % draws every limit.
QImage reportTrendChart(const SubjectResult& subject,
                        const std::vector<const QuantityResult*>& quantities, int width = 900,
                        int height = 280);

// How the HTML refers to a chart: inline (a data: URL, for the page) or by a resource name the
// PDF writer registers ("chart-S.png").
enum class ReportImages { Inline, Named };
// The chart of each subject (a null image for a subject without one), drawn once for the page
// and the PDF.
std::vector<QImage> reportCharts(const ComplianceReport& report);
QString reportHtml(const ComplianceReport& report, const std::vector<QImage>& charts,
                   ReportImages images = ReportImages::Inline);
QByteArray reportCsv(const ComplianceReport& report);
// Writes report.pdf; false with error set when it cannot.
bool writeReportPdf(const ComplianceReport& report, const std::vector<QImage>& charts,
                    const QString& path, QString& error);

} // namespace hs
