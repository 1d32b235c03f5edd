// Test helper: appends each of its arguments as one line to the file named by URL_RECORD.
#include <cstdlib>
#include <fstream>

int main(int argc, char** argv) {
    const char* record = std::getenv("URL_RECORD");
    if (record == nullptr) {
        return 2;
    }
    std::ofstream out{record, std::ios::app};
    for (int index = 1; index < argc; ++index) {
        out << argv[index] << '\n';
    }
    return out ? 0 : 1;
}
