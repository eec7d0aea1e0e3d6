#include "compliance/RecordSource.h"

namespace hs {

bool ResultFileSource::open(const QString& path, int feeders)
{
    error_.clear();
    return reader_.open(path, error_, feeders);
}

} // namespace hs
