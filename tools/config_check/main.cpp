// config_check: reads a QVThunkConfig.xml the way the relay does and tells
// the operator what the relay will make of it.
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>

#include "config_check.h"

namespace {

const char USAGE[] = "usage: config_check [FILE]   (default: QVThunkConfig.xml here)\n"
                     "       config_check --help | --version\n";

const char HELP[] = R"(
Reads a relay configuration file with the relay's own reader, and prints:
  - every key with the value the relay will use, where it came from (file or
    default) and what the relay does with it;
  - one warning line for every rule of the reader that changed a value the
    file gives, saying what the relay does instead and how to write it;
  - a result line: whether the relay starts and where it connects.

Exit status:
  0  the relay starts (GameThunkServer_Start reads 1) and has an address and
     port it can connect to;
  1  it does not start, cannot open the file (the relay then refuses to
     start too), or never connects (address 0.0.0.0 or 255.255.255.255, or
     port 0);
  2  wrong arguments, or the check itself failed (out of memory).

Warnings:
  top element      not named exactly GameThunkServer (case counts), or none:
                   every key takes its default
  stops reading    a tag with no closing tag the reader can match (a tab or
                   line break after a tag name, a stray closing tag, a tag in
                   a comment, a DOCTYPE): nothing after it in that element is
                   read
  tab in a name    a tab or line break after a tag name is part of the name
  not a key        an element the relay does not read, with the key it reads
                   when the name is nearly right (TryConnectionInterval: the
                   relay reads TryConnectionInteval)
  given twice      a key given twice (the later one is read), an element
                   given twice (the first is read), two top elements
  outside          a key outside the top element is dropped
  attribute        a value written as an attribute is never read
  markup           a comment inside a key's element: the key is not found
  not 0 or 1       a switch such as true or yes: only 0 and 1 are read
  not a number     a value that does not convert takes its default; one too
                   large for the reader as well
  after the number characters after a number are ignored (60000ms reads
                   60000, 0x3bca reads 0)
  negative         a negative interval, time-out or size wraps around (-1
                   reads 4294967295 ms)
  below 1000       an interval under 1000 ms: the monitor counts whole
                   seconds, so it acts on every pass (1 s)
  short time-out   DeadLinkTimeout under 1000 ms: a slow path, or a single
                   lost packet's retransmission, ends the link;
                   ConnectTimeout under 1000 ms: an attempt to a distant
                   server never completes (0 leaves either to the platform)
  small buffer     SendBufferSize under 4096 bytes: the platform raises it to
                   its minimum (0 leaves the sizing to the platform)
  port range       a port above 65535 or below 0 keeps its low 16 bits
                   (70000 connects to 4464); port 0 is never reachable
  ip               an address on its own line (the line breaks stay in the
                   text), or text that is no dotted IPv4 address: the relay
                   tries 127.0.0.1; 0.0.0.0 and 255.255.255.255 are never tried
)";

} // namespace

int main(int argc, char **argv) {
    std::string path = "QVThunkConfig.xml";
    if (argc > 2) {
        std::cerr << USAGE;
        return 2;
    }
    if (argc == 2) {
        const std::string arg = argv[1];
        if (arg == "--help" || arg == "-h") {
            std::cout << USAGE << HELP;
            return 0;
        }
        if (arg == "--version") {
            std::cout << "config_check " RELAY_VERSION "\n";
            return 0;
        }
        if (arg.empty() || arg[0] == '-') {
            std::cerr << "config_check: unknown option " << arg << "\n" << USAGE;
            return 2;
        }
        path = arg;
    }
    try {
        const ConfigCheck check = check_config_file(path);
        print_config_check(std::cout, path, check);
        return config_check_status(check);
    } catch (const std::exception &e) {
        std::cerr << "config_check: " << e.what() << "\n";
        return 2;
    }
}
