// Test program standing in for a bundle's executable: writes its session id and its arguments
// (one per line, the program name excluded) to the file named by ARGV_RECORD, then waits for
// ARGV_RECORD_HOLD seconds (0 when unset).
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

int main(int argc, char** argv) {
    const char* record = std::getenv("ARGV_RECORD");
    if (record == nullptr)
        return 2;
    {
        std::ofstream out{std::string{record} + ".tmp"};
        out << "sid " << getsid(0) << " pid " << getpid() << "\n";
        for (int i = 1; i < argc; ++i)
            out << argv[i] << "\n";
    }
    std::rename((std::string{record} + ".tmp").c_str(), record);
    if (const char* hold = std::getenv("ARGV_RECORD_HOLD"))
        sleep(std::atoi(hold));
    return 0;
}
