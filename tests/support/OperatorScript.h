#pragma once

#include <QObject>
#include <QTimer>

#include <cstddef>
#include <functional>
#include <vector>

namespace hs::test {

// Steps an operator takes during a run, each once its condition holds. They run from a timer,
// that is inside the waits of the run loop, as real clicks do.
struct OperatorScript {
    struct Step {
        std::function<bool()> ready;
        std::function<void()> act;
    };
    std::vector<Step> steps;
    std::size_t next = 0;
    QTimer timer;

    void start()
    {
        QObject::connect(&timer, &QTimer::timeout, [this] {
            while (next < steps.size() && steps[next].ready()) {
                const std::size_t current = next++;
                steps[current].act();
            }
        });
        timer.start(5);
    }
    bool done() const { return next == steps.size(); }
};

} // namespace hs::test
