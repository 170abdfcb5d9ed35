// A named pipe that notices the moment anything opens it for reading. Code
// that must read nothing from outside its input is pointed at the pipe; a
// thread keeps trying to open the writing end without blocking, which only
// succeeds while a reader has it open. A reader is then answered at once with
// the end of the file, so a fault shows as a failed assertion, not a hang.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace trumik::testing {

class FifoWatch {
  public:
    explicit FifoWatch(std::filesystem::path path) : path_(std::move(path))
    {
        if (mkfifo(path_.c_str(), 0600) != 0)
            throw std::runtime_error("mkfifo failed: " + path_.string());
        thread_ = std::thread([this] { Watch(); });
    }
    ~FifoWatch()
    {
        stop_ = true;
        thread_.join();
        std::filesystem::remove(path_);
    }
    FifoWatch(const FifoWatch&) = delete;
    FifoWatch& operator=(const FifoWatch&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    // How many times a reader opened the pipe so far.
    int Reads() const { return reads_; }

  private:
    void Watch()
    {
        while (!stop_) {
            const int fd = open(path_.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) {
                ++reads_;
                close(fd); // the reader sees the end of the file
                // Let the reader close its end before looking again.
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    std::filesystem::path path_;
    std::atomic<bool> stop_{false};
    std::atomic<int> reads_{0};
    std::thread thread_;
};

} // namespace trumik::testing
