#pragma once

// A private X server for tests that look at the whole screen or need the input focus: other
// GUI tests running in parallel on a shared display cannot cover or steal it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace launcher_test {

class PrivateDisplay : public ::testing::Environment {
  public:
    static constexpr int kWidth = 1280;
    static constexpr int kHeight = 800;

    void SetUp() override {
        int fds[2];
        ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
        // A white root ("-wr"), so that what a window leaves uncovered shows as white, not as
        // the black of unpainted pixels. The server writes its display number to this descriptor
        // once it accepts clients.
        const int serverEnd = fcntl(fds[1], F_DUPFD, 10);
        ASSERT_GE(serverEnd, 0);
        close(fds[1]);
        std::vector<std::string> args = {
            "Xvfb",
            "-displayfd",
            std::to_string(serverEnd),
            "-screen",
            "0",
            std::to_string(kWidth) + "x" + std::to_string(kHeight) + "x24",
            "-nolisten",
            "tcp",
            "-wr"};
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        ASSERT_EQ(posix_spawnp(&server, "Xvfb", nullptr, nullptr, argv.data(), environ), 0);
        close(serverEnd);

        std::string number;
        char c = 0;
        while (read(fds[0], &c, 1) == 1 && c != '\n') {
            number += c;
        }
        close(fds[0]);
        ASSERT_FALSE(number.empty()) << "Xvfb did not start";
        setenv("DISPLAY", (":" + number).c_str(), 1);
        unsetenv("WAYLAND_DISPLAY");
    }

    void TearDown() override {
        if (server > 0) {
            kill(server, SIGTERM);
            int status = 0;
            waitpid(server, &status, 0);
        }
    }

  private:
    pid_t server = -1;
};

}  // namespace launcher_test
