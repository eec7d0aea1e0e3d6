#include "engine/Acquisition.h"

#include "common/Clock.h"
#include "model/EngineObserver.h"
#include "common/Numbers.h"
#include "model/MeasurementData.h"
#include "recorder/Recorder.h"
#include "model/RecorderFacts.h"
#include "model/MeasurementSettings.h"

#include <array>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace hs {

namespace {

constexpr int kWindowSamples = 100;       // samples per zero-cross search window
constexpr int kWindowRange = 2000;        // the search stays within low .. low + 2000
constexpr int kCrossingFailureLimit = 5;  // failed window blocks in a row before giving up
constexpr int kConsecutiveErrorLimit = 3; // more failed blocks in a row end a transfer
constexpr double kTwoPi = 6.283185;       // the period fit's constant

QString transferErrorText(int channel, int position, int count, int received)
{
    return QStringLiteral("データ転送エラー CH=") + plainNumber(channel) +
           QStringLiteral("ﾃﾞｰﾀ位置") + spacedNumber(position) + QStringLiteral("連続エラー数=") +
           spacedNumber(count) + QStringLiteral("受信データ数=") + plainNumber(received);
}

int sampleOfBlock(std::span<const std::uint8_t> block, int i, int modelClass)
{
    return cmd::blockSample(block, i, modelClass).value_or(0);
}

// Stores the points of one received stretch of samples (first .. first + length - 1 of the
// period) into WaveData and keeps the largest absolute value. next is the first point not yet
// stored; sample(k) gives stretch sample k.
template <typename SampleAt>
void storePoints(EngineContext& ctx, int input, int first, int length, int& next,
                 std::int16_t& peak, SampleAt sample)
{
    MeasurementData& data = ctx.data;
    const int n = ctx.settings.SampleCount;
    const std::size_t channel = static_cast<std::size_t>(input + input / 2);
    while (next <= n && next < static_cast<int>(data.SamplePosition.size())) {
        const int offset = data.SamplePosition[static_cast<std::size_t>(next)] - first;
        if (offset >= length)
            break;
        if (offset >= 0) {
            const int value = sample(offset);
            if (channel < data.WaveData.dim0() &&
                static_cast<std::size_t>(next) < data.WaveData.dim1())
                data.WaveData(channel, static_cast<std::size_t>(next)) =
                    static_cast<std::int16_t>(value);
            const int magnitude = std::abs(value);
            if (magnitude > peak)
                peak = static_cast<std::int16_t>(magnitude);
        }
        ++next;
    }
}

// The recovery of an 8840 whose block transfer failed: leave the floppy function and go back to
// 100-division shots, on every recorder.
void recoverClass0(EngineContext& ctx)
{
    const int last = ctx.lastRecorder();
    for (int r = 0; r <= last; ++r)
        ctx.recorder(r).floppyOff();
    WaitMilliseconds(ctx.clock, 2500);
    for (int r = 0; r <= last; ++r)
        ctx.recorder(r).configureShot100();
    WaitMilliseconds(ctx.clock, 500);
}

} // namespace

void WaitMilliseconds(const Clock& clock, std::int16_t ms)
{
    clock.waitMs(ms < 0 ? 0 : ms);
}

void StartShot(EngineContext& ctx, int recorder, std::int16_t& status)
{
    const int last = ctx.lastRecorder();
    ctx.recorders.setReplyTimeout(2);
    int attempts = 0;
    int laggingRepeats = 0;
    for (;;) {
        if (last == 1) {
            ctx.recorder(1).start();
            WaitMilliseconds(ctx.clock, 100);
        }
        ctx.recorder(recorder).start();
        WaitMilliseconds(ctx.clock, 500);

        double sum = 0;
        double lastCount = 0;
        for (int poll = 0; poll < 2; ++poll) {
            sum = 0;
            for (int r = 0; r <= last; ++r) {
                lastCount = ctx.recorder(r).storedSamples().valueOr(0);
                sum += lastCount;
            }
            if (sum != 0 || poll == 1)
                break;
            // Nothing stored yet: forget what may be queued and look once more.
            for (int r = 0; r <= last; ++r)
                ctx.recorder(r).clearReceived();
            WaitMilliseconds(ctx.clock, 500);
        }

        const double average = sum / (last + 1);
        if (average < kShotMinimumCount) {
            if (++attempts > 3) {
                status = -1;
                return;
            }
            ctx.recorder(recorder).clearReceived();
            WaitMilliseconds(ctx.clock, 100);
        } else if (lastCount < kShotMinimumCount) {
            // Recorder 1 holds the shot but the last recorder does not: the shot is taken again
            // without counting an attempt, a bounded number of times.
            if (++laggingRepeats > kShotLaggingRecorderRepeats) {
                status = -1;
                ctx.observer.status(RunStatus::trouble(kShotNotStoredText));
                return;
            }
        }
        if (lastCount >= kShotMinimumCount)
            return;
    }
}

CrossingVerdict ClassifyCrossingWindow(std::span<const int> window)
{
    if (window.empty())
        return {CrossingVerdict::MoveForward, 0};
    if (window.front() > 0)
        return {CrossingVerdict::MoveBack, 0};
    if (window.back() < 0)
        return {CrossingVerdict::MoveForward, 0};
    for (std::size_t a = 0; a < window.size(); ++a) {
        if (window[a] >= 0)
            return {CrossingVerdict::Found, static_cast<int>(a)};
    }
    return {CrossingVerdict::MoveForward, 0}; // unreachable: the last sample is not negative
}

int FindRisingCrossing(EngineContext& ctx, std::int16_t& position, int channel, int recorder,
                       int lowerLimit)
{
    Recorder& rec = ctx.recorder(recorder);
    // Samples are judged with the encoding of recorder 1, whichever recorder is read.
    const int modelClass = ctx.facts.ModelClass[0];
    const int moveLimit = modelClass == 0 ? kCrossingMovesClass0 : kCrossingMovesOther;
    const int blockBytesWanted = cmd::blockByteCount(cmd::kBlockSamplesSearch);
    const auto giveUp = [&position] {
        position = kCrossingSearchHome;
        return -1;
    };

    WaitMilliseconds(ctx.clock, 200);
    int moves = 0;
    int failures = 0;
    for (;;) {
        if (position < lowerLimit || position > lowerLimit + kWindowRange)
            return giveUp();
        const auto request = [&] {
            rec.pointAt(channel, position);
            rec.requestBlock(cmd::kBlockSamplesSearch);
        };
        request();
        std::span<const std::uint8_t> block;
        for (;;) {
            const auto received = rec.receiveBlock(blockBytesWanted);
            if (!received) {
                rec.clearReceived();
                WaitMilliseconds(ctx.clock, 500);
                if (++failures >= kCrossingFailureLimit)
                    return giveUp();
                if (failures >= 3)
                    request();
                continue;
            }
            block = *received;
            if (block[1] == 0) {
                // Not a data block: ask for the same window again (counted with the failures,
                // so that a recorder that keeps answering so cannot hold the search forever).
                if (++failures >= kCrossingFailureLimit)
                    return giveUp();
                request();
                continue;
            }
            failures = 0;
            break;
        }

        std::array<int, kWindowSamples> window{};
        for (int i = 0; i < kWindowSamples; ++i)
            window[static_cast<std::size_t>(i)] = sampleOfBlock(block, i, modelClass);
        const CrossingVerdict verdict = ClassifyCrossingWindow(window);
        if (verdict.kind == CrossingVerdict::Found) {
            if (verdict.index == 0)
                return giveUp();
            const int result = position + verdict.index;
            position = static_cast<std::int16_t>(result - 50);
            return result;
        }
        if (++moves > moveLimit) {
            // A crossing that falls between two windows makes the search swing between them;
            // the newer recorders' search is bounded too, and says so.
            if (modelClass != 0)
                ctx.observer.status(RunStatus::trouble(kCrossingGivenUpText));
            return giveUp();
        }
        position = static_cast<std::int16_t>(position + (verdict.kind == CrossingVerdict::MoveBack
                                                             ? -kWindowSamples
                                                             : kWindowSamples));
    }
}

float PeriodFitMagnitude(std::span<const int> samples, int w)
{
    if (w <= 0 || static_cast<std::size_t>(kTriggerPosition + w) > samples.size())
        return -1.0f;
    double s = 0;
    double c = 0;
    for (int j = 0; j < w; ++j) {
        const double x = samples[static_cast<std::size_t>(kTriggerPosition + j)];
        const double angle = kTwoPi * j / w;
        s += x * std::sin(angle);
        c += x * std::cos(angle);
    }
    const double d = s * s - c * c;
    // A negative difference means the window does not start on a rising sine: never a maximum.
    if (d < 0)
        return -1.0f;
    return static_cast<float>(std::sqrt(d));
}

double PeriodMismatch(std::span<const int> samples, int w)
{
    if (w <= 0 || static_cast<std::size_t>(kPeriodCompareSamples + w) > samples.size())
        return std::numeric_limits<double>::infinity();
    double sum = 0;
    for (int m = 0; m < kPeriodCompareSamples; ++m) {
        const double d = static_cast<double>(samples[static_cast<std::size_t>(m + w)]) -
                         samples[static_cast<std::size_t>(m)];
        sum += d * d;
    }
    return sum;
}

int SearchPeriodEnd(std::span<const int> samples, int n)
{
    if (n - 300 < 1 || static_cast<std::size_t>(n + 50) > samples.size())
        return -1;
    // The quality of a window: how well the record repeats after w samples; a window that does
    // not start on a rising fundamental is never a maximum.
    const auto quality = [samples](int w) {
        if (PeriodFitMagnitude(samples, w) < 0)
            return -std::numeric_limits<double>::infinity();
        return -PeriodMismatch(samples, w);
    };
    int w = n - 200;
    double best = quality(w);
    bool improved = false;
    for (;;) {
        ++w;
        const double q = quality(w);
        if (!(q > best))
            break;
        best = q;
        improved = true;
        if (w >= n - 150)
            return -1;
    }
    if (improved)
        return kTriggerPosition + (w - 1);

    w = n - 200;
    for (;;) {
        --w;
        const double q = quality(w);
        if (!(q > best))
            break;
        best = q;
        if (w <= n - 300)
            return -1;
    }
    // best belongs to w + 1; a window that never qualified is no maximum.
    if (std::isinf(best))
        return -1;
    return kTriggerPosition + (w + 1);
}

int FindPeriodEnd(EngineContext& ctx, int expectedEnd, int channel, int recorder,
                  std::int16_t& start)
{
    Recorder& rec = ctx.recorder(recorder);
    ctx.recorders.setReplyTimeout(1);
    start = kTriggerPosition;
    const int n = expectedEnd;
    if (n - 300 < 1 || n + 50 > 32767)
        return -1;

    const int modelClass = ctx.modelClass(recorder);
    const int perBlock = cmd::blockSamples(modelClass);
    const int bytes = cmd::blockByteCount(perBlock);
    const std::size_t wanted = static_cast<std::size_t>(n + 51); // samples 0 .. n + 50
    std::vector<int> samples;
    samples.reserve(wanted + static_cast<std::size_t>(perBlock));

    rec.pointAt(channel, 0, false);
    rec.requestBlock(perBlock);
    int errors = 0;
    while (samples.size() < wanted) {
        const int base = static_cast<int>(samples.size());
        const auto block = rec.receiveBlock(bytes);
        if (!block) {
            ctx.observer.status(RunStatus::trouble(
                transferErrorText(channel, base, errors, block.error().received)));
            rec.pointAt(channel, base);
            rec.requestBlock(perBlock);
            WaitMilliseconds(ctx.clock, 10);
            if (++errors > kConsecutiveErrorLimit)
                return -1;
            continue;
        }
        errors = 0;
        // Ask for the next block first; the received one stays in the block buffer meanwhile.
        if (samples.size() + static_cast<std::size_t>(perBlock) < wanted)
            rec.requestBlock(perBlock);
        for (int i = 0; i < perBlock; ++i)
            samples.push_back(sampleOfBlock(*block, i, modelClass));
    }
    return SearchPeriodEnd(samples, n);
}

void MakeSamplePositions(int start, int end, int sampleCount,
                         std::vector<std::int16_t>& SamplePosition)
{
    if (sampleCount <= 0)
        return;
    const std::size_t size = static_cast<std::size_t>(sampleCount) + 2;
    if (SamplePosition.size() < size)
        SamplePosition.resize(size, 0);
    const double step = static_cast<double>(end - start) / sampleCount;
    for (int i = 0; i <= sampleCount; ++i)
        SamplePosition[static_cast<std::size_t>(i)] = toInt16Saturating(step * i);
}

void DownloadWaveforms(EngineContext& ctx, int start, int end, std::int16_t& recorder,
                       std::int16_t& errorCount)
{
    MeasurementData& data = ctx.data;
    const MeasurementSettings& settings = ctx.settings;
    ctx.recorders.setReplyTimeout(1);
    MakeSamplePositions(start, end, settings.SampleCount, data.SamplePosition);
    const auto finish = [&] {
        ctx.recorders.setReplyTimeout(2);
        recorder = 0;
    };
    const int span = end - start;
    if (span <= 0 || settings.SampleCount <= 0) {
        // No period to take: report the shot's data as incomplete.
        errorCount = kConsecutiveErrorLimit + 1;
        finish();
        return;
    }

    const int step = 2 - (data.ElementLast == 0 ? 0 : 1);
    const int lastInput = std::min(2 * static_cast<int>(settings.LastFeeder) + 3, 19);
    for (int c = 0; c <= lastInput; c += step) {
        const int rec =
            RecorderPair::indexOf(settings.InputRecorder[static_cast<std::size_t>(c)]);
        recorder = static_cast<std::int16_t>(rec);
        Recorder& link = ctx.recorder(rec);
        const int ch = settings.InputChannel[static_cast<std::size_t>(c)];
        const int modelClass = ctx.modelClass(rec);
        const int perBlock = cmd::blockSamples(modelClass);
        const int bytes = cmd::blockByteCount(perBlock);
        std::int16_t peak = 0;
        int next = 0;

        link.pointAt(ch, start);
        link.requestBlock(perBlock);
        for (int base = 0; base <= span;) {
            const auto block = link.receiveBlock(bytes);
            if (!block) {
                ctx.observer.status(RunStatus::trouble(
                    transferErrorText(ch, start + base, errorCount, block.error().received)));
                link.pointAt(ch, start + base);
                link.requestBlock(perBlock);
                WaitMilliseconds(ctx.clock, 10);
                if (++errorCount <= kConsecutiveErrorLimit)
                    continue;
                if (modelClass == 0) {
                    recoverClass0(ctx);
                    finish();
                    return;
                }
                errorCount = 0;
                DownloadWaveformsAscii(ctx, c, start, end, errorCount, peak);
                if (errorCount > kConsecutiveErrorLimit) {
                    finish();
                    return;
                }
                break;
            }
            errorCount = 0;
            // The next block is on its way while this one is decoded.
            if (base + perBlock <= span)
                link.requestBlock(perBlock);
            storePoints(ctx, c, base, perBlock, next, peak, [&block, modelClass](int k) {
                return sampleOfBlock(*block, k, modelClass);
            });
            base += perBlock;
        }
        data.InputPeak[static_cast<std::size_t>(c)] = peak;
        Clock::pumpEvents();
    }
    finish();
}

void DownloadWaveformsAscii(EngineContext& ctx, int input, int start, int end,
                            std::int16_t& errorCount, std::int16_t& peak)
{
    const MeasurementSettings& settings = ctx.settings;
    const Clock& clock = ctx.clock;
    if (input < 0 || input > 19)
        return;
    ctx.status(kAsciiTransferText);
    const int rec = RecorderPair::indexOf(settings.InputRecorder[static_cast<std::size_t>(input)]);
    Recorder& link = ctx.recorder(rec);
    const int ch = settings.InputChannel[static_cast<std::size_t>(input)];
    const int modelClass = ctx.modelClass(rec);
    const int span = end - start;
    MakeSamplePositions(start, end, settings.SampleCount, ctx.data.SamplePosition);

    link.clearReceived();
    WaitMilliseconds(clock, 100);
    link.pointAt(ch, start);
    WaitMilliseconds(clock, 50);
    link.requestAscii();
    WaitMilliseconds(clock, 20);

    int position = 0;
    int next = 0;
    for (;;) {
        WaitMilliseconds(clock, 15);
        const auto values = link.receiveAscii(modelClass);
        if (values) {
            errorCount = 0;
            const bool more = position + cmd::kAsciiSamples <= span;
            if (more)
                link.requestAscii();
            storePoints(ctx, input, position, cmd::kAsciiSamples, next, peak,
                        [&values](int k) { return (*values)[static_cast<std::size_t>(k)]; });
            position += cmd::kAsciiSamples;
            if (!more) {
                // Take whatever is still on its way so that it cannot spoil the next reply.
                WaitMilliseconds(clock, 50);
                link.drainReply();
                return;
            }
            continue;
        }
        link.abort();
        link.clearStatus();
        WaitMilliseconds(clock, 10);
        if (++errorCount > kConsecutiveErrorLimit)
            return;
        link.clearReceived();
        WaitMilliseconds(clock, 100);
        WaitMilliseconds(clock, 100);
        link.clearStatus();
        WaitMilliseconds(clock, 500);
        link.pointAt(ch, start + position);
        WaitMilliseconds(clock, 10);
        link.requestAscii();
        WaitMilliseconds(clock, 10);
    }
}

} // namespace hs
