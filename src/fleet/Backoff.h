#pragma once

#include <algorithm>

namespace hs::fleet {

// The wait before the next try of something that keeps failing (the broker, the database):
// the first wait, doubled after every try up to the longest; from the first again once it works.
class Backoff {
public:
    constexpr Backoff(int firstMs, int longestMs)
        : first_(firstMs), longest_(longestMs), next_(firstMs)
    {
    }
    // The wait for this try; the next one is twice as long (at most the longest).
    int take()
    {
        const int wait = next_;
        next_ = std::min(next_ * 2, longest_);
        return wait;
    }
    int nextMs() const { return next_; }
    void reset() { next_ = first_; }

private:
    int first_;
    int longest_;
    int next_;
};

} // namespace hs::fleet
