#include "sim/Scenario.h"

#include "common/RegularFile.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QSaveFile>

#include <cmath>
#include <numbers>

namespace hs::sim {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr double kDegree = std::numbers::pi / 180.0;

// A reproducible uniform number in (0, 1) from a key (splitmix64).
double uniformFromKey(std::uint64_t key)
{
    std::uint64_t z = key + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return (static_cast<double>(z >> 11) + 0.5) / 9007199254740992.0; // 2^53
}

// Standard normal value for (seed, quantity, sample), Box-Muller over two keyed uniforms.
double gaussian(quint32 seed, int quantity, std::uint64_t sample)
{
    const std::uint64_t base = (static_cast<std::uint64_t>(seed) << 40) ^
                               (static_cast<std::uint64_t>(quantity) << 56) ^ (sample * 2);
    const double u1 = uniformFromKey(base);
    const double u2 = uniformFromKey(base + 1);
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(kTwoPi * u2);
}

Quantity makeQuantity(const QString& name, double rms, double phaseDeg, double noiseRms,
                      const QVector<Harmonic>& relative)
{
    // Harmonic phases are given relative to the quantity's own fundamental: a phase shifted by
    // phaseDeg has its h-th harmonic shifted by h * phaseDeg (balanced three-phase loads).
    Quantity q;
    q.name = name;
    q.rms = rms;
    q.phaseDeg = phaseDeg;
    q.noiseRms = noiseRms;
    for (const Harmonic& h : relative) {
        Harmonic s = h;
        s.phaseDeg = std::remainder(h.phaseDeg + h.order * phaseDeg, 360.0);
        q.harmonics.push_back(s);
    }
    return q;
}

bool readNumberField(const QJsonObject& o, const char* key, double& out, QString* error,
                     const QString& where)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (v.isUndefined())
        return true;
    if (!v.isDouble() || !std::isfinite(v.toDouble())) {
        if (error)
            *error = QStringLiteral("%1: \"%2\" must be a number").arg(where, QLatin1String(key));
        return false;
    }
    out = v.toDouble();
    return true;
}

bool readIntField(const QJsonObject& o, const char* key, int& out, QString* error,
                  const QString& where)
{
    double d = out;
    if (!readNumberField(o, key, d, error, where))
        return false;
    if (d != std::floor(d) || std::abs(d) > 1e9) {
        if (error)
            *error =
                QStringLiteral("%1: \"%2\" must be a whole number").arg(where, QLatin1String(key));
        return false;
    }
    out = static_cast<int>(d);
    return true;
}

} // namespace

Scenario Scenario::defaultScenario()
{
    Scenario s;
    s.name = QStringLiteral("6.6 kV distribution feeders, 50.02 Hz");
    s.frequencyHz = 50.02;
    s.driftHz = 0.01;
    s.driftPeriodS = 600.0;
    s.seed = 20240601;
    s.recorders[0] = {8841, {1, 1, 4, 4, 4, 4, 4, 4}};
    s.recorders[1] = {8841, {4, 4, 4, 4}};

    // Line voltages of a V connection: with Vr at 0 degrees, V(R-S) leads by 30 and V(T-S) by
    // 90 degrees; V(R-S) is the reference here, so V(T-S) is at +60.
    const QVector<Harmonic> voltageHarmonics = {{3, 0.004, 20.0},
                                                {5, 0.018, 190.0},
                                                {7, 0.009, 15.0},
                                                {11, 0.004, 160.0},
                                                {13, 0.003, 30.0}};
    s.quantities.push_back(
        makeQuantity(QStringLiteral("V R-S"), 6600.0, 0.0, 1.0, voltageHarmonics));
    s.quantities.push_back(
        makeQuantity(QStringLiteral("V T-S"), 6600.0, 60.0, 1.0, voltageHarmonics));

    // Feeder currents (R at -48, T at +72 degrees: power factor about 0.95 lagging), typical
    // six-pulse rectifier and inverter loads, with small even and high orders.
    const QVector<Harmonic> currentHarmonics = {
        {2, 0.003, 40.0},    {3, 0.012, 200.0},   {4, 0.002, 80.0},     {5, 0.045, 175.0},
        {7, 0.028, 10.0},    {11, 0.012, 185.0},  {13, 0.008, 5.0},     {17, 0.004, 170.0},
        {19, 0.003, 20.0},   {23, 0.002, 160.0},  {25, 0.0015, 30.0},   {47, 0.0008, 90.0},
        {49, 0.0006, 120.0}, {120, 0.0004, 45.0}, {151, 0.0003, 200.0}, {203, 0.0002, 310.0},
        {241, 0.00015, 10.0}};
    const double feederAmps[5] = {200.0, 150.0, 100.0, 80.0, 60.0};
    const double lagDeg[5] = {18.0, 25.0, 12.0, 30.0, 20.0};
    for (int f = 0; f < 5; ++f) {
        const QString n = QString::number(f + 1);
        // Harmonic phases follow the fundamental of each phase (h x phase shift).
        s.quantities.push_back(makeQuantity(QStringLiteral("F%1 I R").arg(n), feederAmps[f],
                                            -30.0 - lagDeg[f], 0.05, currentHarmonics));
        s.quantities.push_back(makeQuantity(QStringLiteral("F%1 I T").arg(n), feederAmps[f],
                                            90.0 - lagDeg[f], 0.05, currentHarmonics));
    }

    s.wiring.push_back({QStringLiteral("V R-S"), 1, 1, 1.0 / 60.0});
    s.wiring.push_back({QStringLiteral("V T-S"), 1, 2, 1.0 / 60.0});
    for (int f = 0; f < 5; ++f) {
        const int rec = f < 3 ? 1 : 2;
        const int ch = f < 3 ? 3 + 2 * f : 1 + 2 * (f - 3);
        const QString n = QString::number(f + 1);
        s.wiring.push_back({QStringLiteral("F%1 I R").arg(n), rec, ch, 0.1});
        s.wiring.push_back({QStringLiteral("F%1 I T").arg(n), rec, ch + 1, 0.1});
    }
    return s;
}

double Scenario::angleAt(double t) const
{
    double cycles = frequencyHz * t;
    if (driftHz != 0.0 && driftPeriodS > 0.0)
        cycles += driftHz * driftPeriodS / kTwoPi * (1.0 - std::cos(kTwoPi * t / driftPeriodS));
    // Reduce before multiplying so that long runs keep their precision.
    cycles -= std::floor(cycles);
    return kTwoPi * cycles;
}

double Scenario::quantityAt(int qi, double t, std::uint64_t sampleKey) const
{
    if (qi < 0 || qi >= quantities.size())
        return 0.0;
    const Quantity& q = quantities[qi];
    const double theta = angleAt(t);
    const double peak = q.rms * std::numbers::sqrt2;
    double v = std::sin(theta + q.phaseDeg * kDegree);
    for (const Harmonic& h : q.harmonics) {
        if (h.presentAt(t))
            v += h.ratio * std::sin(h.order * theta + h.phaseDeg * kDegree);
    }
    v = v * peak + q.dc;
    if (q.noiseRms > 0.0)
        v += q.noiseRms * gaussian(seed, qi, sampleKey);
    return v;
}

QVector<Scenario::Term> Scenario::terms(int recorder, int channel) const
{
    QVector<Term> out;
    for (const Wiring& w : wiring) {
        const int qi = quantityIndex(w.quantity);
        if (w.recorder == recorder && w.channel == channel && qi >= 0)
            out.push_back({qi, w.gain});
    }
    return out;
}

double Scenario::volts(const QVector<Term>& channelTerms, double t, std::uint64_t sampleKey) const
{
    double v = 0.0;
    for (const Term& term : channelTerms)
        v += term.gain * quantityAt(term.quantity, t, sampleKey);
    return v;
}

double Scenario::inputVolts(int recorder, int channel, double t, std::uint64_t sampleKey) const
{
    return volts(terms(recorder, channel), t, sampleKey);
}

double Scenario::inputPeakBound(int recorder, int channel) const
{
    double bound = 0.0;
    for (const Wiring& w : wiring) {
        if (w.recorder != recorder || w.channel != channel)
            continue;
        const int qi = quantityIndex(w.quantity);
        if (qi < 0)
            continue;
        const Quantity& q = quantities[qi];
        double amp = 1.0;
        for (const Harmonic& h : q.harmonics)
            amp += std::abs(h.ratio);
        amp = amp * q.rms * std::numbers::sqrt2 + std::abs(q.dc) + 4.0 * q.noiseRms;
        bound += std::abs(w.gain) * amp;
    }
    return bound;
}

int Scenario::quantityIndex(const QString& n) const
{
    for (int i = 0; i < quantities.size(); ++i) {
        if (quantities[i].name == n)
            return i;
    }
    return -1;
}

QJsonObject Scenario::toJson() const
{
    QJsonObject o;
    o[QStringLiteral("name")] = name;
    o[QStringLiteral("frequency")] = frequencyHz;
    o[QStringLiteral("drift")] = QJsonObject{{QStringLiteral("amplitude"), driftHz},
                                             {QStringLiteral("period"), driftPeriodS}};
    o[QStringLiteral("seed")] = static_cast<double>(seed);
    QJsonArray recs;
    for (const RecorderSetup& r : recorders) {
        QJsonArray units;
        for (int u : r.units)
            units.append(u);
        recs.append(
            QJsonObject{{QStringLiteral("model"), r.model}, {QStringLiteral("units"), units}});
    }
    o[QStringLiteral("recorders")] = recs;
    QJsonArray qs;
    for (const Quantity& q : quantities) {
        QJsonObject j{{QStringLiteral("name"), q.name},
                      {QStringLiteral("rms"), q.rms},
                      {QStringLiteral("phase"), q.phaseDeg}};
        if (q.dc != 0.0)
            j[QStringLiteral("dc")] = q.dc;
        if (q.noiseRms != 0.0)
            j[QStringLiteral("noise")] = q.noiseRms;
        QJsonArray hs;
        for (const Harmonic& h : q.harmonics) {
            QJsonObject hj{{QStringLiteral("order"), h.order},
                           {QStringLiteral("ratio"), h.ratio},
                           {QStringLiteral("phase"), h.phaseDeg}};
            if (std::isfinite(h.fromS))
                hj[QStringLiteral("from")] = h.fromS;
            if (std::isfinite(h.untilS))
                hj[QStringLiteral("until")] = h.untilS;
            hs.append(hj);
        }
        j[QStringLiteral("harmonics")] = hs;
        qs.append(j);
    }
    o[QStringLiteral("quantities")] = qs;
    QJsonArray ws;
    for (const Wiring& w : wiring)
        ws.append(QJsonObject{{QStringLiteral("quantity"), w.quantity},
                              {QStringLiteral("recorder"), w.recorder},
                              {QStringLiteral("channel"), w.channel},
                              {QStringLiteral("gain"), w.gain}});
    o[QStringLiteral("wiring")] = ws;
    return o;
}

namespace {

bool fail(QString* error, const QString& why)
{
    if (error)
        *error = why;
    return false;
}

// The grid: frequency, its drift and the noise seed.
bool readGrid(const QJsonObject& o, Scenario& s, QString* error)
{
    const QString top = QStringLiteral("scenario");
    if (!readNumberField(o, "frequency", s.frequencyHz, error, top))
        return false;
    if (!(s.frequencyHz > 0.0 && s.frequencyHz < 10000.0))
        return fail(error,
                    QStringLiteral("scenario: \"frequency\" must lie between 0 and 10000 Hz"));
    const QJsonObject drift = o.value(QStringLiteral("drift")).toObject();
    if (!readNumberField(drift, "amplitude", s.driftHz, error, QStringLiteral("drift")) ||
        !readNumberField(drift, "period", s.driftPeriodS, error, QStringLiteral("drift")))
        return false;
    if (std::abs(s.driftHz) >= s.frequencyHz || s.driftPeriodS <= 0.0)
        return fail(error, QStringLiteral("drift: the amplitude must stay below the frequency and "
                                          "the period must be positive"));
    double seed = s.seed;
    if (!readNumberField(o, "seed", seed, error, top))
        return false;
    s.seed = static_cast<quint32>(std::fmod(std::abs(seed), 4294967296.0));
    return true;
}

// One entry of "recorders": the model and the unit codes.
bool readRecorder(const QJsonObject& ro, const QString& where, RecorderSetup& r, QString* error)
{
    if (!readIntField(ro, "model", r.model, error, where))
        return false;
    if (r.model < 1000 || r.model > 9999)
        return fail(error, where + QStringLiteral(": the model must have four digits"));
    const QJsonArray units = ro.value(QStringLiteral("units")).toArray();
    if (units.size() > 16)
        return fail(error, where + QStringLiteral(": at most 16 unit codes"));
    for (const QJsonValue& u : units) {
        const int code = u.toInt(-1);
        if (code < 0 || code > 9)
            return fail(error, where + QStringLiteral(": unit codes are single digits"));
        r.units.push_back(code);
    }
    return true;
}

bool readHarmonic(const QJsonObject& ho, const QString& where, Harmonic& h, QString* error)
{
    if (!readIntField(ho, "order", h.order, error, where) ||
        !readNumberField(ho, "ratio", h.ratio, error, where) ||
        !readNumberField(ho, "phase", h.phaseDeg, error, where) ||
        !readNumberField(ho, "from", h.fromS, error, where) ||
        !readNumberField(ho, "until", h.untilS, error, where))
        return false;
    if (h.order < 0 || h.order > 10000)
        return fail(error, where + QStringLiteral(": harmonic orders lie between 0 and 10000"));
    return true;
}

// One entry of "quantities"; its name must differ from those of the quantities read before.
bool readQuantity(const QJsonObject& qo, const Scenario& s, Quantity& q, QString* error)
{
    q.name = qo.value(QStringLiteral("name")).toString();
    const QString where = QStringLiteral("quantity \"%1\"").arg(q.name);
    if (q.name.isEmpty() || s.quantityIndex(q.name) >= 0)
        return fail(error, where + QStringLiteral(": every quantity needs a name of its own"));
    if (!readNumberField(qo, "rms", q.rms, error, where) ||
        !readNumberField(qo, "phase", q.phaseDeg, error, where) ||
        !readNumberField(qo, "dc", q.dc, error, where) ||
        !readNumberField(qo, "noise", q.noiseRms, error, where))
        return false;
    if (q.noiseRms < 0.0)
        return fail(error, where + QStringLiteral(": the noise must not be negative"));
    for (const QJsonValue& hv : qo.value(QStringLiteral("harmonics")).toArray()) {
        Harmonic h;
        if (!readHarmonic(hv.toObject(), where, h, error))
            return false;
        q.harmonics.push_back(h);
    }
    return true;
}

// The gain of a wiring entry: given directly, or as a PT ratio (volts), or as a sensor on a CT.
bool readGain(const QJsonObject& wo, const QString& where, double& out, QString* error)
{
    double gain = 1.0, pt = 0.0, ct = 1.0, vpa = 0.0;
    if (!readNumberField(wo, "gain", gain, error, where) ||
        !readNumberField(wo, "ptRatio", pt, error, where) ||
        !readNumberField(wo, "ctRatio", ct, error, where) ||
        !readNumberField(wo, "voltsPerAmpere", vpa, error, where))
        return false;
    if (wo.contains(QStringLiteral("ptRatio"))) {
        if (pt == 0.0)
            return fail(error, where + QStringLiteral(": \"ptRatio\" must not be 0"));
        gain = 1.0 / pt;
    } else if (wo.contains(QStringLiteral("voltsPerAmpere"))) {
        if (ct == 0.0)
            return fail(error, where + QStringLiteral(": \"ctRatio\" must not be 0"));
        gain = vpa / ct;
    }
    out = gain;
    return true;
}

// One entry of "wiring"; its quantity must have been read already.
bool readWiring(const QJsonObject& wo, const Scenario& s, Wiring& w, QString* error)
{
    w.quantity = wo.value(QStringLiteral("quantity")).toString();
    const QString where = QStringLiteral("wiring of \"%1\"").arg(w.quantity);
    if (s.quantityIndex(w.quantity) < 0)
        return fail(error, where + QStringLiteral(": no quantity of that name"));
    if (!readIntField(wo, "recorder", w.recorder, error, where) ||
        !readIntField(wo, "channel", w.channel, error, where))
        return false;
    if (w.recorder < 1 || w.recorder > 2 || w.channel < 1 || w.channel > 16)
        return fail(error, where + QStringLiteral(": recorder 1 or 2, channel 1 to 16"));
    return readGain(wo, where, w.gain, error);
}

} // namespace

std::optional<Scenario> Scenario::fromJson(const QJsonObject& o, QString* error)
{
    Scenario s;
    s.recorders[0] = {8841, {}};
    s.recorders[1] = {8841, {}};
    s.name = o.value(QStringLiteral("name")).toString();
    if (!readGrid(o, s, error))
        return std::nullopt;
    const QJsonArray recs = o.value(QStringLiteral("recorders")).toArray();
    for (int r = 0; r < recs.size() && r < 2; ++r) {
        if (!readRecorder(recs[r].toObject(), QStringLiteral("recorder %1").arg(r + 1),
                          s.recorders[static_cast<std::size_t>(r)], error))
            return std::nullopt;
    }
    for (const QJsonValue& qv : o.value(QStringLiteral("quantities")).toArray()) {
        Quantity q;
        if (!readQuantity(qv.toObject(), s, q, error))
            return std::nullopt;
        s.quantities.push_back(q);
    }
    for (const QJsonValue& wv : o.value(QStringLiteral("wiring")).toArray()) {
        Wiring w;
        if (!readWiring(wv.toObject(), s, w, error))
            return std::nullopt;
        s.wiring.push_back(w);
    }
    return s;
}

std::optional<Scenario> Scenario::load(const QString& path, QString* error)
{
    QFile file(path);
    if (QString why; openRegularFile(file, path, why) != RegularFileOpen::Opened) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(path, why);
        return std::nullopt;
    }
    // Scenario files are small; a bound keeps a wrong file from filling memory.
    const QByteArray data = file.read(16 * 1024 * 1024);
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(data, &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject()) {
        if (error)
            *error = QStringLiteral("%1: not a JSON object (%2 at offset %3)")
                         .arg(path, parseError.errorString())
                         .arg(parseError.offset);
        return std::nullopt;
    }
    QString why;
    auto s = fromJson(doc.object(), &why);
    if (!s && error)
        *error = QStringLiteral("%1: %2").arg(path, why);
    return s;
}

bool Scenario::save(const QString& path, QString* error) const
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(QJsonDocument(toJson()).toJson(QJsonDocument::Indented)) < 0 || !file.commit()) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

} // namespace hs::sim
