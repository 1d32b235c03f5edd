// Runs one installation the way the update sequence does, for tests that kill it part-way:
//   install_runner <archive> <newDir> <lastDir> <oldDir or ""> <started-marker>
// The marker file is written just before the installation begins.
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "updater.hpp"

int main(int argc, char** argv) {
    if (argc != 6) {
        std::cerr << "usage: install_runner archive newDir lastDir oldDir marker\n";
        return 2;
    }
    spdlog::set_level(spdlog::level::warn);
    try {
        std::filesystem::current_path(std::filesystem::path{LAUNCHER_SOURCE_DIR} / "launcher");
        const zentravo::Updater updater{[](const std::string&) {}};
        std::ofstream{argv[5]} << getpid();
        updater.installUpdate(argv[1], argv[2], argv[3], argv[4]);
        return 0;
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n";
        return 1;
    }
}
