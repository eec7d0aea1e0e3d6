#pragma once

#include "files/ResultFileReader.h"

#include <QChar>
#include <QString>

#include <memory>
#include <vector>

namespace hs {

// Where the compliance report and the limit watch take interval records from. A source gives
// one station's records in time order, each decoded to the plain ResultRecord (files/
// ResultFileReader.h): the save time, the voltage by order, each feeder's current by order and
// power angle by order, all primary-side RMS values (volts, amperes) as the result files hold
// them. The report reads several sources (a week of runs, the three phase files of a
// three-meter run) and merges feeders of the same phase and number across them.
//
// A new kind of source (a database of collected records, ...) implements this interface and
// fills ResultRecord with the same meaning:
//   - orders(): the harmonic orders each record holds, position i of every by-order vector is
//     order orders()[i] (the result files hold the odd orders 1..49, or 1..256);
//   - feeders(): the number of feeders each record holds (1..9);
//   - phase(): 'R', 'T' or 'S' when the records are one phase of a three-meter run, else null;
//   - next(): the next record, false after the last one or on an error (error() then says
//     what went wrong; an empty error() after false means the end);
//   - fields of ResultRecord the source does not have stay empty (superposition angles, RMS);
//     powerAngle may be empty, the report then shows no outflow/inflow for it.
class RecordSource {
public:
    virtual ~RecordSource() = default;
    virtual QString name() const = 0;
    virtual const std::vector<int>& orders() const = 0;
    virtual int feeders() const = 0;
    virtual QChar phase() const { return {}; }
    virtual bool next(ResultRecord& record) = 0;
    virtual QString error() const = 0;
};

// A result file as a record source, read in turn through a bounded buffer.
class ResultFileSource : public RecordSource {
public:
    // Opens and checks the whole file; false with error() set when it is refused.
    bool open(const QString& path, int feeders = 0);
    QString name() const override { return reader_.file().path; }
    const std::vector<int>& orders() const override { return reader_.file().orders; }
    int feeders() const override { return reader_.file().layout.feeders; }
    QChar phase() const override { return reader_.file().kind.phase; }
    bool next(ResultRecord& record) override { return reader_.next(record); }
    QString error() const override { return error_.isEmpty() ? reader_.error() : error_; }
    const ResultFile& file() const { return reader_.file(); }
    qint64 recordCount() const { return reader_.recordCount(); }

private:
    ResultRecordReader reader_;
    QString error_;
};

// Records already decoded, held in memory (records read back from a database of collected
// records, one ResultFile per run layout and phase), given in turn.
class DecodedRecordSource : public RecordSource {
public:
    explicit DecodedRecordSource(ResultFile file) : file_(std::move(file)) {}
    QString name() const override { return file_.path; }
    const std::vector<int>& orders() const override { return file_.orders; }
    int feeders() const override { return file_.layout.feeders; }
    QChar phase() const override { return file_.kind.phase; }
    bool next(ResultRecord& record) override
    {
        if (next_ >= file_.records.size())
            return false;
        record = file_.records[next_++];
        return true;
    }
    QString error() const override { return {}; }

private:
    ResultFile file_;
    std::size_t next_ = 0;
};

} // namespace hs
