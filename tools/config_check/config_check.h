// The operator's check of a QVThunkConfig.xml: it reads the file with the
// relay's own reader and readers, and says for every key the value the relay
// will use and where it came from, which of the reader's rules changed a
// value the file gives (and how to write it instead), and whether the relay
// would start and have an address to connect to.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// One key as the relay will use it.
struct CheckedKey {
    std::string name;   // without the top element: "VOZevezu_Host:port"
    std::string value;  // as the relay uses it: "4464", "60000 ms", "127.0.0.1"
    bool bFromFile;     // false: the key's default
    std::string effect; // what the relay does with it: "the port the relay connects to"
};

struct ConfigCheck {
    // False when the file cannot be opened: the relay refuses to start, and
    // nothing else is filled in.
    bool bOpened = false;
    std::vector<CheckedKey> keys;      // every key, in the order of the file's layout
    std::vector<std::string> warnings; // whole lines, each starting "warning: "
    bool bStarts = false;              // GameThunkServer_Start reads 1
    bool bConnects = false;            // the address and port it will use can be reached
    std::string result;                // one line: what the relay will do
};

// Reads the file as the relay does at start-up.
ConfigCheck check_config_file(const std::string &path);
// The same for a file's contents held in memory.
ConfigCheck check_config_text(const std::string &text);

// The key table, the warnings and the result line.
void print_config_check(std::ostream &out, const std::string &path, const ConfigCheck &check);
// 0 when the relay would start and has an address to connect to, else 1.
int config_check_status(const ConfigCheck &check);
