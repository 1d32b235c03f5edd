// Standard error of the test process goes into a file while the object lives (libcurl's trace,
// for one, is written there), and can be read back.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "scratch_folder.hpp"

namespace launcher_test {

class StderrCapture {
  public:
    StderrCapture() {
        std::fflush(stderr);
        saved_ = ::dup(2);
        const int fd = ::open(file().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(fd, 2);
        ::close(fd);
    }
    ~StderrCapture() { restore(); }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // Ends the capture; what was written meanwhile.
    std::string text() {
        restore();
        std::ifstream in{file(), std::ios::binary};
        return {std::istreambuf_iterator<char>{in}, {}};
    }

  private:
    [[nodiscard]] std::string file() const { return (folder_ / "stderr").string(); }
    void restore() {
        if (saved_ >= 0) {
            std::fflush(stderr);
            ::dup2(saved_, 2);
            ::close(saved_);
            saved_ = -1;
        }
    }

    fixture::ScratchFolder folder_;
    int saved_ = -1;
};

}  // namespace launcher_test
