#include "web/StatusJson.h"

#include "engine/RunLoop.h"
#include "files/ResultExport.h"
#include "files/ResultFileReader.h"
#include "recorder/LanModule.h"
#include "model/RecorderFacts.h"
#include "web/RunFeed.h"
#include "web/RunFiles.h"

#include <QFileInfo>
#include <QJsonArray>

#include <cmath>

namespace hs::web {

namespace {

template <typename V> double at(const V& v, int i)
{
    return i >= 0 && static_cast<std::size_t>(i) < v.size() ? double(v[std::size_t(i)]) : 0.0;
}

template <typename A> double at(const A& a, int i0, int i1)
{
    if (i0 < 0 || i1 < 0 || std::size_t(i0) >= a.dim0() || std::size_t(i1) >= a.dim1())
        return 0.0;
    return double(a(std::size_t(i0), std::size_t(i1)));
}

// JSON has no infinity or NaN: such a value goes out as null. The stored and computed values
// are floats: they go out as the shortest decimal that reads back as the same float.
QJsonValue number(double v)
{
    if (!std::isfinite(v))
        return QJsonValue();
    const float f = static_cast<float>(v);
    return double(f) == v ? QJsonValue(FloatText(f).toDouble()) : QJsonValue(v);
}

QJsonValue timeValue(const QDateTime& t)
{
    return t.isValid() ? QJsonValue(TimeText(t)) : QJsonValue();
}

QJsonArray recordersArray(const RunFeed& feed)
{
    const StationRefs& st = feed.station();
    QJsonArray recorders;
    for (int r = 0; r <= st.facts.LastRecorder && r < 2; ++r) {
        QJsonObject o;
        o[QStringLiteral("recorder")] = r + 1;
        // 0 until the recorder has been identified (the desktop program's connection screen).
        const int model = st.facts.RecorderModel[std::size_t(r)];
        o[QStringLiteral("model")] = model != 0 ? QJsonValue(model) : QJsonValue();
        o[QStringLiteral("link")] =
            st.lan.LinkConnected(r) ? QStringLiteral("connected") : QStringLiteral("closed");
        // Every analysed shot needs each recorder in use.
        o[QStringLiteral("lastGoodShot")] = timeValue(feed.lastShotTime());
        recorders.append(o);
    }
    return recorders;
}

QJsonObject recordsObject(const RunHealth& h, const MeasurementSettings& s)
{
    QJsonObject o;
    o[QStringLiteral("written")] = h.recordsWritten;
    o[QStringLiteral("expectedByNow")] = h.recordsExpectedByNow;
    o[QStringLiteral("expectedTotal")] = h.recordsExpectedTotal;
    o[QStringLiteral("intervalMin")] = s.SaveIntervalMin;
    o[QStringLiteral("firstSave")] = timeValue(h.firstSave);
    o[QStringLiteral("nextSave")] = timeValue(h.nextSave);
    QJsonArray gaps;
    for (const RecordGap& g : h.gaps)
        gaps.append(QJsonObject{{QStringLiteral("after"), TimeText(g.after)},
                                {QStringLiteral("next"), TimeText(g.next)},
                                {QStringLiteral("missing"), g.missing}});
    o[QStringLiteral("gaps")] = gaps;
    return o;
}

QJsonArray filesArray(RunFiles& files)
{
    QJsonArray list;
    const QStringList names = files.names();
    for (int i = 0; i < names.size(); ++i) {
        QString error;
        const ResultFile* f = files.file(i, &error);
        QJsonObject o;
        o[QStringLiteral("index")] = i;
        o[QStringLiteral("name")] = QFileInfo(names[i]).fileName();
        o[QStringLiteral("bytes")] = f ? QJsonValue(f->fileSize) : QJsonValue();
        o[QStringLiteral("records")] = f ? QJsonValue(qint64(f->records.size())) : QJsonValue();
        if (!f)
            o[QStringLiteral("error")] = error;
        o[QStringLiteral("download")] = QStringLiteral("/download/%1").arg(i);
        o[QStringLiteral("csv")] = QStringLiteral("/download/%1.csv").arg(i);
        list.append(o);
    }
    return list;
}

// The summary line of every feeder for the last shot, as the run shows it for the feeder on
// the screen.
QJsonArray summariesArray(const RunFeed& feed)
{
    QJsonArray lines;
    if (!feed.hasShot())
        return lines;
    const MeasurementData& d = feed.shot();
    for (int f = 0; f <= feed.shotSettings().LastFeeder; ++f) {
        const PowerUnit unit = ChoosePowerUnit(at(d.ActivePower, f, 1), at(d.ReactivePower, f, 1));
        lines.append(SummaryLine(d, f, unit));
    }
    return lines;
}

} // namespace

QString TimeText(const QDateTime& t)
{
    return t.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
}

QJsonObject StatusDocument(const RunFeed& feed, RunFiles& files)
{
    const StationRefs& st = feed.station();
    const MeasurementSettings& s = st.settings;
    const QDateTime now = st.clock.now();
    // Before the run the files named in the settings are not the run's yet.
    const bool waiting = feed.waiting();
    const RunHealth health =
        DeriveRunHealth(waiting ? std::vector<QDateTime>{} : files.recordTimes(), s, now);

    QJsonObject o;
    o[QStringLiteral("time")] = TimeText(now);
    o[QStringLiteral("waiting")] = waiting;
    o[QStringLiteral("status")] = feed.status();
    o[QStringLiteral("summary")] = feed.summary();
    o[QStringLiteral("summaries")] = summariesArray(feed);
    o[QStringLiteral("shots")] = feed.shots();
    o[QStringLiteral("lastShot")] = timeValue(feed.lastShotTime());
    o[QStringLiteral("feeders")] = s.LastFeeder + 1;
    o[QStringLiteral("start")] = timeValue(health.firstSave);
    o[QStringLiteral("end")] = timeValue(s.EndDateTime);
    o[QStringLiteral("recorders")] = recordersArray(feed);
    o[QStringLiteral("records")] = recordsObject(health, s);
    QJsonArray outages;
    for (const Outage& out : feed.outages())
        outages.append(QJsonObject{{QStringLiteral("from"), TimeText(out.from)},
                                   {QStringLiteral("to"), timeValue(out.to)},
                                   {QStringLiteral("reason"), out.reason}});
    o[QStringLiteral("outages")] = outages;
    QJsonArray messages;
    for (const RunMessage& m : feed.messages())
        messages.append(QJsonObject{{QStringLiteral("time"), TimeText(m.time)},
                                    {QStringLiteral("title"), m.title},
                                    {QStringLiteral("text"), m.text}});
    o[QStringLiteral("messages")] = messages;
    o[QStringLiteral("files")] = waiting ? QJsonArray() : filesArray(files);
    o[QStringLiteral("views")] = QJsonArray{1, 2, 3, 4, 5, 6, 7, 8, 9};
    return o;
}

QJsonObject ShotDocument(const RunFeed& feed, int feeder)
{
    if (!feed.hasShot())
        return {{QStringLiteral("error"), QStringLiteral("no shot analysed yet")}};
    const MeasurementSettings& s = feed.shotSettings();
    if (feeder < 1 || feeder > s.LastFeeder + 1)
        return {{QStringLiteral("error"), QStringLiteral("no such feeder")}};
    const MeasurementData& d = feed.shot();
    const int f = feeder - 1;
    QJsonArray orders;
    for (int k = 1; k <= s.MaxHarmonicOrder && std::size_t(k) < d.VoltByOrder.size(); ++k) {
        QJsonObject o;
        o[QStringLiteral("order")] = k;
        o[QStringLiteral("V")] = number(at(d.VoltByOrder, k));
        o[QStringLiteral("I")] = number(at(d.CurByOrder, f, k));
        o[QStringLiteral("Vratio")] = number(at(d.VoltRatio, k));
        o[QStringLiteral("Iratio")] = number(at(d.CurRatio, f, k));
        o[QStringLiteral("P")] = number(at(d.ActivePower, f, k));
        o[QStringLiteral("Q")] = number(at(d.ReactivePower, f, k));
        o[QStringLiteral("powerAngle")] = number(at(d.PowerAngle, f, k));
        o[QStringLiteral("Vangle")] = number(at(d.VoltSuperAngle, k));
        o[QStringLiteral("Iangle")] = number(at(d.CurSuperAngle, f, k));
        orders.append(o);
    }
    QJsonArray vrms, irms;
    for (std::size_t c = 0; c < 3; ++c) {
        vrms.append(number(d.VoltRms[c]));
        irms.append(number(at(d.CurRms, f, int(c))));
    }
    const double v1 = at(d.VoltByOrder, 1);
    const double i1 = at(d.CurByOrder, f, 1);
    QJsonObject o;
    o[QStringLiteral("shot")] = feed.shots();
    o[QStringLiteral("time")] = TimeText(feed.lastShotTime());
    o[QStringLiteral("feeder")] = feeder;
    o[QStringLiteral("Vrms")] = vrms;
    o[QStringLiteral("Irms")] = irms;
    o[QStringLiteral("Vthd")] = number(v1 != 0.0 ? d.VoltHarmRss / v1 * 100.0 : 0.0);
    o[QStringLiteral("Ithd")] = number(i1 != 0.0 ? at(d.CurHarmRss, f) / i1 * 100.0 : 0.0);
    o[QStringLiteral("orders")] = orders;
    return o;
}

QJsonObject RecordsDocument(const ResultFile& file, const QDateTime& from, const QDateTime& to)
{
    QJsonArray records;
    for (const ResultRecord& r : file.records) {
        if ((from.isValid() && r.time < from) || (to.isValid() && r.time > to))
            continue;
        QJsonArray current, currentThd;
        for (const std::vector<float>& byOrder : r.current) {
            current.append(number(byOrder.empty() ? 0.0 : byOrder.front()));
            currentThd.append(number(DistortionPercent(byOrder)));
        }
        QJsonObject o;
        o[QStringLiteral("time")] = TimeText(r.time);
        o[QStringLiteral("V")] = number(r.voltage.empty() ? 0.0 : r.voltage.front());
        o[QStringLiteral("Vthd")] = number(DistortionPercent(r.voltage));
        o[QStringLiteral("I")] = current;
        o[QStringLiteral("Ithd")] = currentThd;
        records.append(o);
    }
    QJsonArray orders;
    for (int k : file.orders)
        orders.append(k);
    return {{QStringLiteral("file"), QFileInfo(file.path).fileName()},
            {QStringLiteral("feeders"), file.layout.feeders},
            {QStringLiteral("orders"), orders},
            {QStringLiteral("records"), records}};
}

} // namespace hs::web
