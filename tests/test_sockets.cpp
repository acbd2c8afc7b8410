#include "test_sockets.h"

#include <cstring>

uint32_t host_of(unsigned a, unsigned b, unsigned c, unsigned d) {
    const unsigned char bytes[4] = {static_cast<unsigned char>(a), static_cast<unsigned char>(b),
                                    static_cast<unsigned char>(c), static_cast<unsigned char>(d)};
    uint32_t host;
    std::memcpy(&host, bytes, sizeof(host));
    return host;
}
