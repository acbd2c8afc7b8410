// Compares parse_dotted_ipv4 on arbitrary text with a model of its rules:
// blanks and tabs removed, split at dots (runs of dots are one separator,
// outer dots ignored), each part 1 to 3 digits and at most 255, exactly four
// parts; the checks in that order give -1, -2, -3, -4, and the output is
// written only on success, first part in the lowest-addressed byte.
#include "net/net.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"

namespace {

struct Parsed {
    int result;
    unsigned char bytes[4];
};

Parsed Model(const std::string &input) {
    std::string text;
    for (char c : input) {
        if (c != ' ' && c != '\t')
            text += c;
    }
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c != '.')
            parts.back() += c;
        else if (!parts.back().empty())
            parts.emplace_back();
    }
    if (parts.back().empty())
        parts.pop_back();

    Parsed parsed = {0, {0, 0, 0, 0}};
    for (size_t i = 0; i < parts.size(); ++i) {
        const std::string &part = parts[i];
        if (part.size() > 3)
            return Parsed{-1, {}};
        unsigned value = 0;
        for (char c : part) {
            if (c < '0' || c > '9')
                return Parsed{-2, {}};
            value = value * 10 + unsigned(c - '0');
        }
        if (value > 255)
            return Parsed{-3, {}};
        if (i == 4)
            return Parsed{-4, {}};
        parsed.bytes[i] = static_cast<unsigned char>(value);
    }
    if (parts.size() != 4)
        return Parsed{-1, {}};
    return parsed;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    const Parsed expected = Model(text);

    const uint32_t sentinel = 0xDEADBEEFu;
    uint32_t host = sentinel;
    const int result = parse_dotted_ipv4(text, &host);
    FUZZ_CHECK(result == expected.result, "result %d, expected %d", result, expected.result);
    if (result != 0) {
        FUZZ_CHECK(host == sentinel, "output written on failure %d", result);
        FUZZ_CHECK(parse_dotted_ipv4(text, nullptr) == result, "null output changed the result");
        return 0;
    }
    FUZZ_CHECK(std::memcmp(&host, expected.bytes, 4) == 0, "address bytes differ");
    FUZZ_CHECK(parse_dotted_ipv4(text, nullptr) != 0, "success reported without an output");

    // The plain dotted form of the result reads back as the same address.
    const std::string dotted =
        std::to_string(expected.bytes[0]) + "." + std::to_string(expected.bytes[1]) + "." +
        std::to_string(expected.bytes[2]) + "." + std::to_string(expected.bytes[3]);
    uint32_t again = sentinel;
    FUZZ_CHECK(parse_dotted_ipv4(dotted, &again) == 0 && again == host, "\"%s\" does not read back",
               dotted.c_str());
    return 0;
}
