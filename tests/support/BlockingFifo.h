#pragma once

#include <QFile>
#include <QString>

#include <atomic>
#include <chrono>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hs::test {

// A FIFO that no program writes to: opening it for reading blocks for good. A reader that does
// block is released after a few seconds (the FIFO is opened for writing and closed, so its open
// returns and it reads an end of file); the test then fails instead of hanging.
class BlockingFifo {
public:
    explicit BlockingFifo(const QString& path) : path_(QFile::encodeName(path))
    {
        made_ = ::mkfifo(path_.constData(), 0600) == 0;
        releaser_ = std::thread([this] {
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
            while (!done_ && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            while (!done_) {
                released_ = true;
                const int fd = ::open(path_.constData(), O_WRONLY | O_NONBLOCK);
                if (fd >= 0)
                    ::close(fd);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    }
    ~BlockingFifo()
    {
        done_ = true;
        releaser_.join();
    }
    bool made() const { return made_; }
    // Whether a reader had to be released: it blocked on the FIFO.
    bool readerBlocked() const { return released_; }

private:
    QByteArray path_;
    bool made_ = false;
    std::atomic<bool> done_{false};
    std::atomic<bool> released_{false};
    std::thread releaser_;
};

} // namespace hs::test
