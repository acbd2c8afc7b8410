// kit_child: a child program for the process tests, with one behaviour per
// first argument:
//   cat          copies stdin to stdout, line by line
//   report       prints "out" to stdout, "err" to stderr, "tail" without a
//                line feed, and exits with 3
//   where NAME   prints the current directory and the variable NAME
//   sleep S      sleeps S seconds
//   true         exits with 0
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

int main(int argc, char **argv) {
#if defined(_WIN32)
    // Line feeds as on POSIX, so that the tests compare the same output.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
#endif
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "cat") {
        std::string line;
        while (std::getline(std::cin, line))
            std::cout << line << std::endl;
        return 0;
    }
    if (mode == "report") {
        std::printf("out\n");
        std::fflush(stdout);
        std::fprintf(stderr, "err\n");
        std::fflush(stderr);
        std::printf("tail");
        return 3;
    }
    if (mode == "where" && argc > 2) {
        const char *value = std::getenv(argv[2]);
        std::printf("%s\n%s\n", std::filesystem::current_path().string().c_str(),
                    value ? value : "");
        return 0;
    }
    if (mode == "sleep" && argc > 2) {
        std::this_thread::sleep_for(std::chrono::seconds(std::atoi(argv[2])));
        return 0;
    }
    if (mode == "true")
        return 0;
    std::fprintf(stderr, "kit_child: unknown mode '%s'\n", mode.c_str());
    return 2;
}
